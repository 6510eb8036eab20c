// The assertion routine: stderr block, exception type and text, trace hook.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/vtest.h"

namespace {

std::string g_hooked;
int g_hookCalls = 0;
void Hook(const char* message)
{
    g_hooked = message;
    ++g_hookCalls;
}

class AssertInvariantTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_hooked.clear();
        g_hookCalls = 0;
        SetAssertTraceHook(nullptr);
    }
    void TearDown() override { SetAssertTraceHook(nullptr); }
};

TEST_F(AssertInvariantTest, TrueConditionHasNoEffect)
{
    SetAssertTraceHook(Hook);
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(AssertInvariant(1, "pkcs11impl/app", 646, "x", "y"));
    int v = 3;
    EXPECT_NO_THROW(AssertInvariantSimple(&v, "a", 1, "p"));
    EXPECT_NO_THROW(AssertInvariantSimple(1ull << 40, "a", 1, "big"));  // low 32 bits zero still holds
    EXPECT_NO_THROW(AssertInvariantSimple(true, "a", 1, "flag"));
    EXPECT_NO_THROW(AssertInvariantSimple(-1, "a", 1, "negative"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(g_hookCalls, 0);
}

TEST_F(AssertInvariantTest, FalseConditionWritesStderrBlockAndThrows)
{
    testing::internal::CaptureStderr();
    try {
        AssertInvariant(0, "pkcs11impl/app", 646, "hNewSession != CK_INVALID_HANDLE", "more text");
        ADD_FAILURE() << "returned";
    } catch (const VtestException& e) {
        EXPECT_STREQ(e.what(),
                     "Błąd wewnętrzny biblioteki MIRTAL PKCS#11: pkcs11impl/app(646),naruszenie niezmiennika: "
                     "hNewSession != CK_INVALID_HANDLE\nmore text");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\n\n  ---- MIRTAL PKCS#11 INTERNAL LIBRARY ERROR: ----\n\n"
              "pkcs11impl/app(646): naruszenie niezmiennika: hNewSession != CK_INVALID_HANDLE\nmore text\n\n");
}

TEST_F(AssertInvariantTest, NullExtraTextGivesEmptyLastLine)
{
    testing::internal::CaptureStderr();
    try {
        AssertInvariant(0, "ptrlist", 7, "nIndex >= 0", nullptr);
        ADD_FAILURE() << "returned";
    } catch (const std::runtime_error& e) {  // derives from the standard runtime error
        EXPECT_NE(dynamic_cast<const VtestException*>(&e), nullptr);
        EXPECT_STREQ(e.what(), "Błąd wewnętrzny biblioteki MIRTAL PKCS#11: ptrlist(7),naruszenie niezmiennika: nIndex >= 0\n");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\n\n  ---- MIRTAL PKCS#11 INTERNAL LIBRARY ERROR: ----\n\nptrlist(7): naruszenie niezmiennika: nIndex >= 0\n\n\n");
}

TEST_F(AssertInvariantTest, InstalledHookReceivesMessageBeforeThrow)
{
    EXPECT_EQ(SetAssertTraceHook(Hook), nullptr);
    EXPECT_EQ(GetAssertTraceHook(), &Hook);
    testing::internal::CaptureStderr();
    EXPECT_THROW(AssertInvariantSimple(0, "memfile", 12, "bHeap"), VtestException);
    EXPECT_THROW(AssertInvariantSimple(false, "memfile", 13, "bHeap"), VtestException);
    EXPECT_THROW(AssertInvariantSimple(static_cast<const void*>(nullptr), "b64file", 3, "binFile != NULL"),
                 VtestException);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_hookCalls, 3);
    EXPECT_EQ(g_hooked, "Błąd wewnętrzny biblioteki MIRTAL PKCS#11: b64file(3),naruszenie niezmiennika: binFile != NULL\n");
    EXPECT_EQ(SetAssertTraceHook(nullptr), &Hook);
}

}  // namespace
