// The list library: ring links through the head, node allocation, unlink,
// insert, and the answers for empty lists and bad arguments.
#include <gtest/gtest.h>

#include "host/heap.h"
#include "ports/list.h"

namespace {

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override { baseline_ = plat::LiveLocalBlocks(); }
  void TearDown() override {
    plat::ResetAllocationFaults();
    EXPECT_EQ(plat::LiveLocalBlocks(), baseline_) << "local heap blocks left over";
  }

  static ListNode* NewNode() {
    ListNode* node = nullptr;
    EXPECT_TRUE(ListNewNode(&node, 8));
    return node;
  }

 private:
  std::int64_t baseline_ = 0;
};

TEST_F(ListTest, EmptyListIsAHeadRingedToItself) {
  ListNode* head = reinterpret_cast<ListNode*>(0xdeadbeef);
  ASSERT_TRUE(ListCreate(&head));
  EXPECT_EQ(head->bKind, NODE_HEAD);
  EXPECT_EQ(head->pNext, head);
  EXPECT_EQ(head->pPrevious, head);
  EXPECT_EQ(head->pData, nullptr);
  EXPECT_TRUE(ListIsEmpty(head));
  EXPECT_EQ(ListFirst(head), nullptr);
  EXPECT_EQ(ListLast(head), nullptr);
  ListDestroy(&head);
  EXPECT_EQ(head, nullptr);
}

TEST_F(ListTest, NewNodeIsAZeroFilledUnlinkedElementWithItsDataBehindTheHeader) {
  ListNode* node = nullptr;
  ASSERT_TRUE(ListNewNode(&node, 300));
  EXPECT_EQ(node->bKind, NODE_ELEMENT);
  EXPECT_EQ(node->pNext, nullptr);
  EXPECT_EQ(node->pPrevious, nullptr);
  auto* data = static_cast<unsigned char*>(node->pData);
  EXPECT_EQ(data, reinterpret_cast<unsigned char*>(node) + sizeof(ListNode));
  for (int i = 0; i < 300; ++i) ASSERT_EQ(data[i], 0) << "byte " << i;
  ListFreeNode(&node);

  // Short memory leaves the caller's pointer unset.
  auto* const sentinel = reinterpret_cast<ListNode*>(0xdeadbeef);
  node = sentinel;
  plat::FailAllAllocations(true);
  EXPECT_FALSE(ListNewNode(&node, 8));
  EXPECT_EQ(node, sentinel);
}

TEST_F(ListTest, InsertBeforeHeadAppendsAndWalksInOrderBothWays) {
  ListNode* head = nullptr;
  ASSERT_TRUE(ListCreate(&head));
  ListNode* a = NewNode();
  ListNode* b = NewNode();
  ListNode* c = NewNode();
  EXPECT_EQ(ListInsertBefore(a, head), head);
  ListInsertBefore(c, head);
  EXPECT_EQ(ListInsertBefore(b, c), c);  // a, b, c
  EXPECT_EQ(ListFirst(head), a);
  EXPECT_EQ(ListLast(head), c);
  EXPECT_EQ(ListNext(a), b);
  EXPECT_EQ(ListNext(b), c);
  EXPECT_EQ(ListNext(c), nullptr) << "the head ends the walk";
  EXPECT_EQ(c->pNext, head);
  EXPECT_EQ(a->pPrevious, head);
  EXPECT_EQ(head->pPrevious, c);

  // Inserting a linked node moves it: c goes to the front.
  ListInsertBefore(c, a);
  EXPECT_EQ(ListFirst(head), c);
  EXPECT_EQ(ListLast(head), b);
  ListDestroy(&head);
}

TEST_F(ListTest, UnlinkJoinsNeighboursAndIsHarmlessTwice) {
  ListNode* head = nullptr;
  ASSERT_TRUE(ListCreate(&head));
  ListNode* a = NewNode();
  ListNode* b = NewNode();
  ListNode* c = NewNode();
  for (ListNode* n : {a, b, c}) ListInsertBefore(n, head);
  ListUnlink(b);
  EXPECT_EQ(b->pNext, nullptr);
  EXPECT_EQ(b->pPrevious, nullptr);
  EXPECT_EQ(ListNext(a), c);
  EXPECT_EQ(c->pPrevious, a);
  ListUnlink(b);
  EXPECT_EQ(ListNext(a), c);
  EXPECT_EQ(ListNext(b), nullptr) << "a node in no list has no next element";

  // Freeing a node takes it out of its list; the caller's pointer is left alone.
  ListNode* freed = a;
  ListFreeNode(&freed);
  EXPECT_EQ(freed, a);
  EXPECT_EQ(ListFirst(head), c);
  ListFreeNode(&b);
  ListClear(head);
  EXPECT_TRUE(ListIsEmpty(head));
  ListDestroy(&head);
}

TEST_F(ListTest, BadArgumentsGetDefinedAnswers) {
  EXPECT_FALSE(ListCreate(nullptr));
  EXPECT_FALSE(ListNewNode(nullptr, 4));
  ListUnlink(nullptr);
  EXPECT_EQ(ListInsertBefore(nullptr, nullptr), nullptr);
  EXPECT_EQ(ListNext(nullptr), nullptr);
  EXPECT_TRUE(ListIsEmpty(nullptr));
  EXPECT_EQ(ListFirst(nullptr), nullptr);
  EXPECT_EQ(ListLast(nullptr), nullptr);
  ListFreeNode(nullptr);
  ListNode* none = nullptr;
  ListFreeNode(&none);
  ListClear(nullptr);
  ListDestroy(nullptr);
  ListDestroy(&none);

  ListNode* head = nullptr;
  ASSERT_TRUE(ListCreate(&head));
  ListNode* loose = NewNode();
  ListNode* other = NewNode();
  // A head is not an element: it neither moves nor is freed as one.
  EXPECT_EQ(ListInsertBefore(head, loose), loose);
  ListFreeNode(&head);
  EXPECT_TRUE(ListIsEmpty(head));
  // Inserting before a node that is in no list, or before itself, links nothing.
  ListInsertBefore(other, loose);
  EXPECT_EQ(other->pPrevious, nullptr);
  ListInsertBefore(other, head);
  ListInsertBefore(other, other);
  EXPECT_EQ(ListFirst(head), other);
  EXPECT_EQ(ListLast(head), other);
  ListFreeNode(&loose);
  ListDestroy(&head);
}

}  // namespace
