// Pointer lists, typed lists and string lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "support/ptrlist.h"
#include "support/tlists.h"
#include "support/vtest.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Counting allocator for the whole test program: counts scalar allocations and can
// be told to fail the next one.
namespace {
long g_scalarAllocs = 0;
long g_scalarFrees = 0;
int g_failCountdown = -1;  // fail when it reaches 0
}  // namespace

void* operator new(size_t n)
{
    if (g_failCountdown == 0) {
        g_failCountdown = -1;
        throw std::bad_alloc();
    }
    if (g_failCountdown > 0)
        --g_failCountdown;
    ++g_scalarAllocs;
    void* p = malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n)
{
    if (g_failCountdown == 0) {
        g_failCountdown = -1;
        throw std::bad_alloc();
    }
    if (g_failCountdown > 0)
        --g_failCountdown;
    void* p = malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept
{
    if (p != nullptr)
        ++g_scalarFrees;
    free(p);
}
void operator delete(void* p, size_t) noexcept
{
    if (p != nullptr)
        ++g_scalarFrees;
    free(p);
}
void operator delete[](void* p) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

struct Tracked {
    static int live;
    static int destroyed;
    int value;
    explicit Tracked(int v) : value(v) { ++live; }
    ~Tracked()
    {
        --live;
        ++destroyed;
    }
};
int Tracked::live = 0;
int Tracked::destroyed = 0;

std::vector<intptr_t> Contents(const PointerList& l)
{
    std::vector<intptr_t> v;
    for (POSITION p = l.GetHeadPosition(); p;)
        v.push_back(reinterpret_cast<intptr_t>(l.GetNext(p)));
    return v;
}

void* P(intptr_t v)
{
    return reinterpret_cast<void*>(v);
}

std::vector<std::string> Strings(const TextStringList& l)
{
    std::vector<std::string> v;
    for (POSITION p = l.GetHeadPosition(); p;) {
        const char* s = l.GetNext(p);
        v.push_back(s ? s : "<null>");
    }
    return v;
}

class ListsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Tracked::live = Tracked::destroyed = 0;
        g_failCountdown = -1;
    }
    void TearDown() override { g_failCountdown = -1; }
};

TEST_F(ListsTest, OwningListDeletesEachElementOnceAtDestruction)
{
    {
        TypedPointerList<Tracked> list(4, true);
        for (int i = 0; i < 10; ++i)
            list.AddTail(new Tracked(i));
        EXPECT_EQ(Tracked::live, 10);
        delete list.RemoveHead();  // removed elements belong to the caller
        EXPECT_EQ(Tracked::destroyed, 1);
    }
    EXPECT_EQ(Tracked::live, 0);
    EXPECT_EQ(Tracked::destroyed, 10);
}

TEST_F(ListsTest, NonOwningListLeavesElementsAlive)
{
    Tracked a(1), b(2);
    {
        TypedPointerList<Tracked> list(2, false);
        list.AddTail(&a);
        list.AddTail(&b);
    }
    EXPECT_EQ(Tracked::destroyed, 0);
    EXPECT_EQ(Tracked::live, 2);
}

TEST_F(ListsTest, OwningCharListUsesArrayDelete)
{
    TypedPointerList<char> list(2, true);
    char* s = new char[16];
    strcpy(s, "hello");
    list.AddTail(s);
    // Leak checkers and mismatched-delete checkers catch a wrong delete here.
}

TEST_F(ListsTest, HeadTailInsertionAndSplicing)
{
    PointerList l(3);
    l.AddTail(P(2));
    l.AddHead(P(1));
    l.AddTail(P(3));
    EXPECT_EQ(Contents(l), (std::vector<intptr_t>{1, 2, 3}));

    POSITION mid = l.FindIndex(1);
    l.InsertBefore(mid, P(10));
    l.InsertAfter(mid, P(20));
    EXPECT_EQ(Contents(l), (std::vector<intptr_t>{1, 10, 2, 20, 3}));
    l.InsertBefore(nullptr, P(0));  // NULL position: at the head
    l.InsertAfter(nullptr, P(99));  // NULL position: at the tail
    EXPECT_EQ(Contents(l), (std::vector<intptr_t>{0, 1, 10, 2, 20, 3, 99}));
    l.InsertBefore(l.GetHeadPosition(), P(-1));
    l.InsertAfter(l.GetTailPosition(), P(100));
    EXPECT_EQ(l.GetHead(), P(-1));
    EXPECT_EQ(l.GetTail(), P(100));
    EXPECT_EQ(l.GetCount(), 9);

    // Walking backwards sees the same links.
    std::vector<intptr_t> back;
    for (POSITION p = l.GetTailPosition(); p;)
        back.push_back(reinterpret_cast<intptr_t>(l.GetPrev(p)));
    EXPECT_EQ(back, (std::vector<intptr_t>{100, 99, 3, 20, 2, 10, 1, 0, -1}));
}

TEST_F(ListsTest, AddHeadOfOtherListKeepsItsOrderInFront)
{
    PointerList x(2), other(2);
    x.AddTail(P('x'));
    other.AddTail(P('a'));
    other.AddTail(P('b'));
    POSITION h = x.AddHead(&other);
    EXPECT_EQ(Contents(x), (std::vector<intptr_t>{'a', 'b', 'x'}));
    EXPECT_EQ(h, x.GetHeadPosition());
    POSITION t = x.AddTail(&other);
    EXPECT_EQ(Contents(x), (std::vector<intptr_t>{'a', 'b', 'x', 'a', 'b'}));
    EXPECT_EQ(t, x.GetTailPosition());
    PointerList empty(2);
    EXPECT_EQ(x.AddTail(&empty), nullptr);
    EXPECT_EQ(x.AddHead(&empty), nullptr);
    // A list appended to itself doubles once, without running forever.
    x.AddTail(&x);
    EXPECT_EQ(x.GetCount(), 10);
    x.AddHead(&x);
    EXPECT_EQ(x.GetCount(), 20);
    EXPECT_EQ(reinterpret_cast<intptr_t>(x.GetHead()), 'a');
}

TEST_F(ListsTest, RemovalRelinksNeighbours)
{
    PointerList l(2);
    POSITION a = l.AddTail(P(1));
    POSITION b = l.AddTail(P(2));
    POSITION c = l.AddTail(P(3));
    EXPECT_EQ(l.RemoveAt(b), P(2));
    EXPECT_EQ(Contents(l), (std::vector<intptr_t>{1, 3}));
    EXPECT_EQ(l.RemoveAt(a), P(1));
    EXPECT_EQ(l.GetHeadPosition(), c);
    EXPECT_EQ(l.RemoveTail(), P(3));
    EXPECT_TRUE(l.IsEmpty());
    EXPECT_EQ(l.GetHeadPosition(), nullptr);
    EXPECT_EQ(l.GetTailPosition(), nullptr);
    EXPECT_THROW(l.RemoveHead(), VtestException);
    EXPECT_THROW(l.RemoveTail(), VtestException);
}

TEST_F(ListsTest, FindWalksFromStartAfter)
{
    PointerList l(4);
    l.AddTail(P(5));
    POSITION second = l.AddTail(P(7));
    POSITION third = l.AddTail(P(5));
    EXPECT_EQ(l.Find(P(5)), l.GetHeadPosition());
    EXPECT_EQ(l.Find(P(5), l.GetHeadPosition()), third);
    EXPECT_EQ(l.Find(P(5), third), nullptr);
    EXPECT_EQ(l.Find(P(7)), second);
    EXPECT_EQ(l.Find(P(8)), nullptr);
}

TEST_F(ListsTest, NegativeIndexRaisesAssertionWhileIndexAtCountFindsNothing)
{
    PointerList l(2);
    l.AddTail(P(1));
    l.AddTail(P(2));
    l.AddTail(P(3));
    EXPECT_EQ(l.GetAt(l.FindIndex(2)), P(3));
    EXPECT_EQ(l.GetAt(l.FindIndexFromTail(0)), P(3));
    EXPECT_EQ(l.GetAt(l.FindIndexFromTail(2)), P(1));
    EXPECT_EQ(l.FindIndex(3), nullptr);
    EXPECT_EQ(l.FindIndexFromTail(3), nullptr);
    testing::internal::CaptureStderr();
    try {
        l.FindIndex(-1);
        ADD_FAILURE() << "no exception";
    } catch (const VtestException& e) {
        EXPECT_NE(std::string(e.what()).find("ptrlist"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("nIndex >= 0"), std::string::npos);
    }
    EXPECT_THROW(l.FindIndexFromTail(-1), VtestException);
    testing::internal::GetCapturedStderr();
}

TEST_F(ListsTest, ZeroBlockSizeIsRefused)
{
    testing::internal::CaptureStderr();
    EXPECT_THROW(PointerList l(0), VtestException);
    testing::internal::GetCapturedStderr();
}

TEST_F(ListsTest, AllocationFailureLeavesListAsItWas)
{
    PointerList l(2);
    l.AddTail(P(1));
    l.AddTail(P(2));  // block full
    g_failCountdown = 0;
    EXPECT_THROW(l.AddTail(P(3)), std::bad_alloc);
    EXPECT_EQ(Contents(l), (std::vector<intptr_t>{1, 2}));

    // Splicing needs two more blocks; the second fails and nothing is added.
    PointerList other(1);
    for (int i = 0; i < 4; ++i)
        other.AddTail(P(10 + i));
    g_failCountdown = 1;
    EXPECT_THROW(l.AddTail(&other), std::bad_alloc);
    EXPECT_EQ(Contents(l), (std::vector<intptr_t>{1, 2}));
    EXPECT_THROW((g_failCountdown = 0, l.AddHead(&other)), std::bad_alloc);
    EXPECT_EQ(Contents(l), (std::vector<intptr_t>{1, 2}));

    // An empty list keeps no block after a failed splice.
    PointerList e(1);
    long allocs = g_scalarAllocs, frees = g_scalarFrees;
    g_failCountdown = 1;
    EXPECT_THROW(e.AddTail(&other), std::bad_alloc);
    EXPECT_EQ(e.GetCount(), 0);
    EXPECT_EQ(g_scalarAllocs - allocs, g_scalarFrees - frees);
}

TEST_F(ListsTest, StringCopyFailureLeavesStringListAsItWas)
{
    TextStringList l;
    l.AddTail("one");
    g_failCountdown = 0;  // the string copy fails
    EXPECT_THROW(l.AddTail("two"), std::bad_alloc);
    EXPECT_EQ(Strings(l), (std::vector<std::string>{"one"}));
    for (int i = 0; i < 7; ++i)
        l.AddTail("x");  // first block (8 nodes) now full
    g_failCountdown = 1;  // string copy succeeds, node block fails: the copy is freed
    EXPECT_THROW(l.AddHead("two"), std::bad_alloc);
    EXPECT_EQ(l.GetCount(), 8);
    EXPECT_STREQ(l.GetHead(), "one");

    TextStringList src;
    src.AddTail("a");
    src.AddTail("b");
    g_failCountdown = 1;  // an allocation inside the copy fails
    EXPECT_THROW(l.AddTail(&src), std::bad_alloc);
    EXPECT_EQ(l.GetCount(), 8);
}

TEST_F(ListsTest, RemovedNodesAreReusedAndLastRemovalFreesBlocks)
{
    PointerList l(4);
    long before = g_scalarAllocs;
    for (int i = 0; i < 4; ++i)
        l.AddTail(P(i));
    EXPECT_EQ(g_scalarAllocs, before + 1);
    POSITION gone = l.FindIndex(1);
    l.RemoveAt(gone);
    before = g_scalarAllocs;
    POSITION reused = l.AddTail(P(9));
    EXPECT_EQ(g_scalarAllocs, before) << "a free node must be reused, not a new block";
    EXPECT_EQ(reused, gone);
    l.AddTail(P(10));
    EXPECT_EQ(g_scalarAllocs, before + 1);
    long frees = g_scalarFrees;
    while (!l.IsEmpty())
        l.RemoveHead();
    EXPECT_EQ(g_scalarFrees, frees + 2);
    before = g_scalarAllocs;
    l.AddTail(P(1));
    EXPECT_EQ(g_scalarAllocs, before + 1);
}

TEST_F(ListsTest, StringListCopiesAndBuffers)
{
    TextStringList l;
    l.AddTail("abcdef", 3);
    EXPECT_STREQ(l.GetHead(), "abc");
    char* buf = l.AddTail(5);
    EXPECT_EQ(std::vector<char>(buf, buf + 6), std::vector<char>(6, 0));
    memcpy(buf, "hello", 5);
    l.AddHead("first");
    POSITION p = l.InsertAfter(l.GetHeadPosition(), "second");
    l.InsertBefore(p, "between");
    EXPECT_EQ(Strings(l), (std::vector<std::string>{"first", "between", "second", "abc", "hello"}));
    l.SetAt(p, "SECOND!", 6);
    EXPECT_STREQ(l.GetAt(p), "SECOND");

    TextStringList copy(l);
    l.RemoveAt(l.GetHeadPosition());
    EXPECT_EQ(copy.GetCount(), 5);
    EXPECT_STREQ(copy.GetHead(), "first");
    copy = l;
    EXPECT_EQ(Strings(copy), Strings(l));

    TextStringList other;
    other.AddTail("a");
    other.AddTail("b");
    TextStringList x;
    x.AddTail("x");
    x.AddHead(&other);
    x.AddTail(&other);
    EXPECT_EQ(Strings(x), (std::vector<std::string>{"a", "b", "x", "a", "b"}));
}

TEST_F(ListsTest, StringFindAndFindNoCase)
{
    TextStringList l;
    l.AddTail("abcd");
    POSITION abc = l.AddTail("abc");
    POSITION empty = l.AddTail("");
    EXPECT_EQ(l.Find("abc"), abc);
    EXPECT_EQ(l.Find(nullptr), empty);
    EXPECT_EQ(l.FindNoCase("ABC"), abc);
    EXPECT_EQ(l.FindNoCase("ABCD"), l.GetHeadPosition());
    EXPECT_EQ(l.FindNoCase("ab"), nullptr);
    EXPECT_EQ(l.FindNoCase(nullptr), empty);
    EXPECT_EQ(l.Find("zzz"), nullptr);
}

TEST_F(ListsTest, StringListRefusesNullText)
{
    TextStringList l;
    testing::internal::CaptureStderr();
    EXPECT_THROW(l.AddTail(static_cast<const char*>(nullptr)), VtestException);
    EXPECT_THROW(l.SetAt(nullptr, "x"), VtestException);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(l.GetCount(), 0);
}

}  // namespace
