#include <vector>

#include "driver/common/CPointerList.h"
#include "tests/support/KernelTest.h"

namespace {

class CPointerListTest : public testsupport::KernelTest {
 public:
  void SetUp() override {
    KernelTest::SetUp();
    m_List.Init();
  }
  void TearDown() override {
    PVOID item;
    while (m_List.RemoveHead(&item)) {
    }
    KernelTest::TearDown();
  }

  // Checks the links both ways and returns the items front to back.
  std::vector<int> Items() {
    std::vector<int> items;
    PointerListNode* prev = nullptr;
    for (PointerListNode* node = m_List.First(); node; node = node->next) {
      EXPECT_EQ(node->prev, prev);
      items.push_back(static_cast<int>(reinterpret_cast<intptr_t>(node->item)));
      prev = node;
    }
    EXPECT_EQ(m_List.Last(), prev);
    EXPECT_EQ(m_List.GetCount(), static_cast<LONG>(items.size()));
    EXPECT_EQ(m_List.IsEmpty() != FALSE, items.empty());
    return items;
  }
  static PVOID P(int i) { return reinterpret_cast<PVOID>(static_cast<intptr_t>(i)); }
  PointerListNode* NodeOf(int item) {
    for (PointerListNode* node = m_List.First(); node; node = node->next)
      if (node->item == P(item)) return node;
    return nullptr;
  }

  CPointerList m_List;
};

TEST_F(CPointerListTest, KeepsItsLinksThroughEveryChange) {
  struct Step {
    const char* name;
    void (*apply)(CPointerListTest*);
    std::vector<int> expected;
  };
  const Step steps[] = {
      {"add tail", [](CPointerListTest* t) { t->m_List.AddTail(P(2)); }, {2}},
      {"add head", [](CPointerListTest* t) { t->m_List.AddHead(P(1)); }, {1, 2}},
      {"add tail again", [](CPointerListTest* t) { t->m_List.AddTail(P(4)); }, {1, 2, 4}},
      {"insert in the middle", [](CPointerListTest* t) { t->m_List.InsertBefore(t->NodeOf(4), P(3)); }, {1, 2, 3, 4}},
      {"insert before the first",
       [](CPointerListTest* t) { t->m_List.InsertBefore(t->NodeOf(1), P(0)); },
       {0, 1, 2, 3, 4}},
      {"insert before nothing",
       [](CPointerListTest* t) { t->m_List.InsertBefore(nullptr, P(-1)); },
       {-1, 0, 1, 2, 3, 4}},
      {"remove the last", [](CPointerListTest* t) { t->m_List.RemoveNode(t->NodeOf(4)); }, {-1, 0, 1, 2, 3}},
      {"remove the first", [](CPointerListTest* t) { t->m_List.RemoveNode(t->NodeOf(-1)); }, {0, 1, 2, 3}},
      {"remove in the middle", [](CPointerListTest* t) { t->m_List.RemoveNode(t->NodeOf(2)); }, {0, 1, 3}},
      {"remove head",
       [](CPointerListTest* t) {
         PVOID item;
         EXPECT_TRUE(t->m_List.RemoveHead(&item));
         EXPECT_EQ(item, P(0));
       },
       {1, 3}},
      {"remove down to one", [](CPointerListTest* t) { t->m_List.RemoveNode(t->NodeOf(1)); }, {3}},
      {"remove the only node", [](CPointerListTest* t) { t->m_List.RemoveNode(t->NodeOf(3)); }, {}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.apply(this);
    EXPECT_EQ(Items(), step.expected);
  }
  EXPECT_EQ(m_List.First(), nullptr);
  EXPECT_EQ(m_List.Last(), nullptr);
}

TEST_F(CPointerListTest, ReadsEndWhereTheListDoes) {
  PVOID item = P(99);
  EXPECT_FALSE(m_List.PeekHead(&item));
  EXPECT_EQ(item, nullptr);
  item = P(99);
  EXPECT_FALSE(m_List.PeekTail(&item));
  EXPECT_EQ(item, nullptr);
  EXPECT_FALSE(m_List.RemoveHead(&item));
  EXPECT_FALSE(m_List.GetAt(0, &item));
  EXPECT_EQ(m_List.GetHeadPosition(), nullptr);

  for (int i = 1; i <= 3; ++i) m_List.AddTail(P(i));
  EXPECT_TRUE(m_List.GetAt(2, &item));
  EXPECT_EQ(item, P(3));
  EXPECT_FALSE(m_List.GetAt(3, &item));  // index == count
  EXPECT_TRUE(m_List.PeekHead(&item));
  EXPECT_EQ(item, P(1));
  EXPECT_TRUE(m_List.PeekTail(&item));
  EXPECT_EQ(item, P(3));
  EXPECT_FALSE(m_List.PeekHead(nullptr));
  EXPECT_FALSE(m_List.RemoveHead(nullptr));
  EXPECT_EQ(Items(), (std::vector<int>{1, 2, 3}));

  CPointerList::POSITION position = m_List.GetHeadPosition();
  std::vector<PVOID> walked;
  while (m_List.GetNext(&position, &item)) walked.push_back(item);
  EXPECT_EQ(walked, (std::vector<PVOID>{P(1), P(2), P(3)}));
  EXPECT_EQ(position, nullptr);  // the last node's item came with a null position
  EXPECT_FALSE(m_List.GetNext(&position, &item));
}

TEST_F(CPointerListTest, NodesComeFromTaggedPoolAndAFailureChangesNothing) {
  m_List.AddTail(P(1));
  auto blocks = [] {
    for (const auto& u : platform::pool::Outstanding())
      if (u.tag == 0x0073694C) return u.allocations;
    return size_t{0};
  };
  EXPECT_EQ(blocks(), 1u);
  platform::pool::FailAllocationsWithTag(POINTER_LIST_TAG);
  EXPECT_EQ(m_List.AddHead(P(0)), nullptr);
  EXPECT_EQ(m_List.AddTail(P(2)), nullptr);
  EXPECT_EQ(m_List.InsertBefore(m_List.First(), P(0)), nullptr);
  platform::pool::ClearFailures();
  EXPECT_EQ(Items(), (std::vector<int>{1}));
  EXPECT_EQ(blocks(), 1u);
}

}  // namespace
