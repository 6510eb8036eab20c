// CHOICE, and the SEQUENCE and SET bases of structure types.
#pragma once

#include "lib/libasn/asnbase.h"

// A CHOICE owns its alternatives as members of the subclass and lists them in
// getObjectList. A CHOICE built with a class tag is explicitly tagged: its own tag
// octet is the wrapper's identifier.
class ASNchoice : public ASNobject {
public:
    explicit ASNchoice(uint32_t tag = 0);
    // A copy chooses the alternative at the same position among its own members
    // (resolved on first use, once the subclass has copied its members).
    ASNchoice(const ASNchoice& other);
    ~ASNchoice() override;

    long read(GenericFile* src, long maxLen, uint8_t flags = 0) override;
    long write(GenericFile* dst) const override;
    long lenOfObject() const override;
    int assign(const ASNany& anyObj) override;
    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    uint8_t defaultTag() const override;
    void digest_contents(QvHash* hash) const override;
    // The alternatives in declared order, NULL-terminated.
    virtual ASNobject** getObjectList() = 0;
    virtual void digestChosen(QvHash* hash) const;
    void digestObject(QvHash* hash) const override { digestChosen(hash); }

    // The wrapper lives in the tag octet (see the class comment).
    void setExplicitTag() override;
    void resetExplicitTag() override;
    void setTag(uint8_t newTag) override;
    uint8_t getTag() const override;

    ASNobject* getChosenObject() const { return chosen(); }
    void setChosenObject(ASNobject* obj);
    int getChosenIndex() const;
    uint8_t getChosenTag() const;
    void chooseByIndex(uint32_t index);
    void chooseByTag(uint8_t tag);

    // Copies the other's chosen alternative into ours (same index); throws
    // std::bad_alloc when it cannot.
    ASNchoice& operator=(const ASNchoice& other);
    bool operator==(const ASNchoice& other) const;

protected:
    ASNobject** list() const;
    // The first alternative whose tag equals id ignoring the constructed bit.
    ASNobject* findAlternative(uint8_t id) const;

    // The chosen alternative, resolving the position a copy was made with.
    ASNobject* chosen() const;

    mutable ASNobject* m_chosenObject;
    mutable int m_copiedIndex;
};

class ASNsequenceF : public ASNobject {
public:
    explicit ASNsequenceF(uint32_t tag = 0);
    uint8_t defaultTag() const override { return 0x30; }
};

class ASNsetF : public ASNobject {
public:
    explicit ASNsetF(uint32_t tag = 0);
    uint8_t defaultTag() const override { return 0x31; }
};
