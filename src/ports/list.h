// A small doubly linked list with a sentinel head, on which the port lists and
// the printer lists are built.
#pragma once

#include "platform.h"

#define NODE_HEAD 0
#define NODE_ELEMENT 1

// Header of every node, head or element; an element's data block follows it
// in the same allocation.
typedef struct _ListNode {
  BYTE bKind;
  struct _ListNode* pPrevious;
  struct _ListNode* pNext;
  LPVOID pData;
} ListNode;

// List library.
BOOL ListCreate(ListNode** ppHead);
BOOL ListNewNode(ListNode** ppNode, WORD cbData);
void ListUnlink(ListNode* pNode);
ListNode* ListInsertBefore(ListNode* pNode, ListNode* pBefore);
ListNode* ListNext(ListNode* pNode);
BOOL ListIsEmpty(ListNode* pHead);
ListNode* ListFirst(ListNode* pHead);
ListNode* ListLast(ListNode* pHead);
void ListFreeNode(ListNode** ppNode);
void ListClear(ListNode* pHead);
void ListDestroy(ListNode** ppHead);
