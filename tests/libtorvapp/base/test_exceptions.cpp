#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "libtorvapp/qvcommon/qvexception.h"

namespace {

std::string defaultText(const char* cls)
{
    return std::string("LIBRARY: libtorvapp\nEXCEPTION: ") + cls +
           "\nREASON: ???\nFUNCTION: ???\nFILE: ???\nLINE: ???\n";
}

template <class E>
void expectDefault(const char* cls)
{
    E e;
    EXPECT_EQ(std::string(e.what()), defaultText(cls)) << cls;
}

} // namespace

TEST(QvExceptionTexts, DefaultTextNamesTheMostDerivedClass)
{
    expectDefault<QvException>("QvException");
    expectDefault<QvInterruptException>("QvInterruptException");
    expectDefault<QvLibException>("QvLibException");
    expectDefault<QvCriticalException>("QvCriticalException");
    expectDefault<QvAccessException>("QvAccessException");
    expectDefault<QvArgumentRangeException>("QvArgumentRangeException");
    expectDefault<QvInvException>("QvInvException");
    expectDefault<QvDivByZeroException>("QvDivByZeroException");
    expectDefault<QvRevException>("QvRevException");
    expectDefault<QvNotInitException>("QvNotInitException");
    expectDefault<QvLibNotImplementedException>("QvLibNotImplementedException");
    expectDefault<QvFsmException>("QvFsmException");
    expectDefault<QvInternalErrorException>("QvInternalErrorException");
    expectDefault<QvConversionException>("QvConversionException");
    expectDefault<QvWrongSyntaxException>("QvWrongSyntaxException");
    expectDefault<QvEncryptionDecryptionException>("QvEncryptionDecryptionException");
    expectDefault<QvBadKeyLengthException>("QvBadKeyLengthException");
    expectDefault<QvInvalidKeyException>("QvInvalidKeyException");
    expectDefault<QvMessageToLongException>("QvMessageToLongException");
    expectDefault<QvWeakKeyException>("QvWeakKeyException");
    expectDefault<QvRbgCycleException>("QvRbgCycleException");
    expectDefault<QvRbgNotInitialisedException>("QvRbgNotInitialisedException");
    expectDefault<QvBufferOverlapException>("QvBufferOverlapException");
}

TEST(QvExceptionTexts, FsmDefaultTextIsExact)
{
    QvFsmException e;
    EXPECT_STREQ(e.what(), "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: ???\n"
                           "FUNCTION: ???\nFILE: ???\nLINE: ???\n");
}

TEST(QvExceptionTexts, MemDefaultTextHasNoFunctionLine)
{
    QvMemException e;
    EXPECT_STREQ(e.what(), "LIBRARY: libtorvapp\nEXCEPTION: QvMemException\n"
                           "REASON: out of memory during allocation 0x??? octets\n"
                           "FILE: ???\nLINE: ???\n");
    EXPECT_EQ(e.getSize(), 0u);
}

TEST(QvExceptionTexts, MemTextCarriesSizeFileAndLine)
{
    QvMemException e(4096, "qvcommon/qvoctmem", "47");
    EXPECT_STREQ(e.what(), "LIBRARY: libtorvapp\nEXCEPTION: QvMemException\n"
                           "REASON: out of memory during allocation 0x0000000000001000 octets\n"
                           "FILE: qvcommon/qvoctmem\nLINE: 47\n");
    EXPECT_EQ(e.getSize(), 4096u);
}

TEST(QvExceptionTexts, MemTextKeepsOnlyTheTailOfLongFileAndLine)
{
    std::string file(1100, 'a');
    file += std::string(1016 - 4, 'b') + "tail"; // the last 1016 characters
    std::string line = std::string(10, 'x') + std::string(24, '7');
    QvMemException e(0xFFFFFFFFFFFFFFFFull, file.c_str(), line.c_str());
    std::string expected = "LIBRARY: libtorvapp\nEXCEPTION: QvMemException\n"
                           "REASON: out of memory during allocation 0xffffffffffffffff octets\n"
                           "FILE: " + std::string(1016 - 4, 'b') + "tail\nLINE: " +
                           std::string(24, '7') + "\n";
    EXPECT_EQ(std::string(e.what()), expected);
    EXPECT_LT(expected.size(), 1176u);
}

TEST(QvExceptionTexts, MemCopyOwnsItsText)
{
    QvMemException* original = new QvMemException(16, "qvcommon/qvwordmem", "37");
    QvMemException copy(*original);
    std::string before = original->what();
    delete original;
    EXPECT_EQ(std::string(copy.what()), before);
    EXPECT_EQ(copy.getSize(), 16u);
    QvMemException assigned;
    assigned = copy;
    EXPECT_EQ(std::string(assigned.what()), before);
    EXPECT_NE(assigned.what(), copy.what());
}

TEST(QvExceptionTexts, BadKeyLengthDetailListsTheLengths)
{
    QvBadKeyLengthException e(5, 20, 64, 1);
    EXPECT_STREQ(e.getDetail(), "OCTETS: 0x00000005\nMIN_OCTETS: 0x00000014\n"
                                "MAX_OCTETS: 0x00000040\nSTEP_OCTETS: 0x00000001\n");
    EXPECT_EQ(std::string(e.what()), defaultText("QvBadKeyLengthException"));
    QvBadKeyLengthException* heap = new QvBadKeyLengthException(0xFFFFFFFFu, 0, 0, 0);
    QvBadKeyLengthException copy(*heap);
    delete heap;
    EXPECT_STREQ(copy.getDetail(), "OCTETS: 0xffffffff\nMIN_OCTETS: 0x00000000\n"
                                   "MAX_OCTETS: 0x00000000\nSTEP_OCTETS: 0x00000000\n");
}

TEST(QvExceptionTexts, InterruptCarriesItsCode)
{
    QvInterruptException e(0xDEADBEEF);
    EXPECT_EQ(e.getCode(), 0xDEADBEEFu);
    EXPECT_EQ(std::string(e.what()), defaultText("QvInterruptException"));
}

TEST(QvExceptionTexts, ThrowSiteTextIsCarriedWhole)
{
    static const char text[] = "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
                               "REASON: Nieznany identyfikator algorytmu.\n"
                               "FUNCTION: qvHashCreateObject\nFILE: qvhash\nLINE: 97\n";
    try {
        qvThrow<QvArgumentRangeException>(text);
        FAIL() << "nothing thrown";
    } catch (const QvArgumentRangeException& e) {
        EXPECT_STREQ(e.what(), text);
    }
}

TEST(QvExceptionTree, DivByZeroIsCaughtByEveryAncestor)
{
    auto thrower = [] { qvThrow<QvDivByZeroException>("x"); };
    EXPECT_THROW(thrower(), QvDivByZeroException);
    EXPECT_THROW(thrower(), QvInvException);
    EXPECT_THROW(thrower(), QvCriticalException);
    EXPECT_THROW(thrower(), QvLibException);
    EXPECT_THROW(thrower(), QvException);
    EXPECT_THROW(thrower(), std::exception);
}

TEST(QvExceptionTree, MemExceptionIsNotALibException)
{
    bool caughtAsLib = false, caughtAsRoot = false;
    try {
        try {
            throw QvMemException(1, "f", "1");
        } catch (const QvLibException&) {
            caughtAsLib = true;
        }
    } catch (const QvException&) {
        caughtAsRoot = true;
    }
    EXPECT_FALSE(caughtAsLib);
    EXPECT_TRUE(caughtAsRoot);
}

TEST(QvExceptionTree, BranchesHaveTheirBases)
{
    EXPECT_TRUE((std::is_base_of<QvConversionException, QvWrongSyntaxException>::value));
    EXPECT_TRUE((std::is_base_of<QvCriticalException, QvConversionException>::value));
    EXPECT_TRUE((std::is_base_of<QvEncryptionDecryptionException, QvBadKeyLengthException>::value));
    EXPECT_TRUE((std::is_base_of<QvEncryptionDecryptionException, QvWeakKeyException>::value));
    EXPECT_FALSE((std::is_base_of<QvCriticalException, QvEncryptionDecryptionException>::value));
    EXPECT_TRUE((std::is_base_of<QvLibException, QvRbgCycleException>::value));
    EXPECT_FALSE((std::is_base_of<QvCriticalException, QvRbgCycleException>::value));
    EXPECT_FALSE((std::is_base_of<QvLibException, QvInterruptException>::value));
    EXPECT_TRUE((std::is_base_of<QvCriticalException, QvFsmException>::value));
}

TEST(QvExceptionTexts, SetDetailAndMessageReplacePointers)
{
    QvAccessException e;
    EXPECT_STREQ(e.getDetail(), "");
    e.setDetail("more");
    e.setMessage("text");
    EXPECT_STREQ(e.getDetail(), "more");
    EXPECT_STREQ(e.what(), "text");
}
