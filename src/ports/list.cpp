// The list library: doubly linked rings through a sentinel head, whose nodes
// carry their data block in the same zero-filled allocation.
#include "base/module_state.h"
#include "ports/list.h"

// Every link is stored with release and loaded with acquire, so that a walk
// running without the list's lock always finds whole nodes; see port_lists.cpp
// for which walks may do that.
static ListNode* LoadLink(ListNode* const& link) { return ReadShared(link); }
static void StoreLink(ListNode*& link, ListNode* target) { WriteShared(link, target); }

BOOL ListCreate(ListNode** ppHead) {
  if (ppHead == nullptr) return FALSE;
  ListNode* pHead = static_cast<ListNode*>(LocalAlloc(LPTR, sizeof(ListNode)));
  if (pHead == nullptr) return FALSE;
  pHead->bKind = NODE_HEAD;
  pHead->pPrevious = pHead;
  pHead->pNext = pHead;
  pHead->pData = nullptr;
  *ppHead = pHead;
  return TRUE;
}

BOOL ListNewNode(ListNode** ppNode, WORD cbData) {
  if (ppNode == nullptr) return FALSE;
  // The header's size keeps the data block pointer-aligned.
  static_assert(sizeof(ListNode) % alignof(void*) == 0, "data block alignment");
  ListNode* pNode = static_cast<ListNode*>(LocalAlloc(LPTR, sizeof(ListNode) + cbData));
  if (pNode == nullptr) return FALSE;
  pNode->bKind = NODE_ELEMENT;
  pNode->pData = reinterpret_cast<BYTE*>(pNode) + sizeof(ListNode);
  *ppNode = pNode;
  return TRUE;
}

void ListUnlink(ListNode* pNode) {
  if (pNode == nullptr || pNode->bKind != NODE_ELEMENT) return;
  ListNode* pPrevious = LoadLink(pNode->pPrevious);
  if (pPrevious == nullptr) return;
  ListNode* pNext = LoadLink(pNode->pNext);
  StoreLink(pPrevious->pNext, pNext);
  StoreLink(pNext->pPrevious, pPrevious);
  // A reader standing on the node now finds no next node and ends its walk.
  StoreLink(pNode->pNext, nullptr);
  StoreLink(pNode->pPrevious, nullptr);
}

ListNode* ListInsertBefore(ListNode* pNode, ListNode* pBefore) {
  // Only elements move; a head stays the head of its own ring.
  if (pNode == nullptr || pBefore == nullptr || pNode == pBefore || pNode->bKind != NODE_ELEMENT) return pBefore;
  ListUnlink(pNode);
  ListNode* pPrevious = LoadLink(pBefore->pPrevious);
  if (pPrevious == nullptr) return pBefore;  // the before-node is in no list
  StoreLink(pNode->pPrevious, pPrevious);
  StoreLink(pNode->pNext, pBefore);
  // This store makes the node reachable for forward walks; everything written
  // to it before is visible to a reader that follows the link.
  StoreLink(pPrevious->pNext, pNode);
  StoreLink(pBefore->pPrevious, pNode);
  return pBefore;
}

ListNode* ListNext(ListNode* pNode) {
  if (pNode == nullptr) return nullptr;
  ListNode* pNext = LoadLink(pNode->pNext);
  if (pNext == nullptr || pNext->bKind != NODE_ELEMENT) return nullptr;
  return pNext;
}

BOOL ListIsEmpty(ListNode* pHead) {
  if (pHead == nullptr) return TRUE;
  ListNode* pNext = LoadLink(pHead->pNext);
  return pNext == nullptr || pNext->bKind == NODE_HEAD;
}

ListNode* ListFirst(ListNode* pHead) {
  if (ListIsEmpty(pHead)) return nullptr;
  return LoadLink(pHead->pNext);
}

ListNode* ListLast(ListNode* pHead) {
  if (ListIsEmpty(pHead)) return nullptr;
  ListNode* pLast = LoadLink(pHead->pPrevious);
  return (pLast != nullptr && pLast->bKind == NODE_ELEMENT) ? pLast : nullptr;
}

void ListFreeNode(ListNode** ppNode) {
  // A head goes only through ListDestroy, with its elements.
  if (ppNode == nullptr || *ppNode == nullptr || (*ppNode)->bKind != NODE_ELEMENT) return;
  ListUnlink(*ppNode);
  LocalFree(*ppNode);
}

void ListClear(ListNode* pHead) {
  ListNode* pFirst;
  while ((pFirst = ListFirst(pHead)) != nullptr) ListFreeNode(&pFirst);
}

void ListDestroy(ListNode** ppHead) {
  if (ppHead == nullptr || *ppHead == nullptr) return;
  ListClear(*ppHead);
  LocalFree(*ppHead);
  *ppHead = nullptr;
}
