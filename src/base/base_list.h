// Singly linked lists (written once): nodes of any type that link through their `next` field.
// A queue is a first and a last pointer, a stack a top pointer; both are empty when null.
#pragma once

#include "base/base_core.h"

// Appends the node after `last` (as `first` when the queue is empty).
template <typename T> inline void sll_queue_push(T *&first, T *&last, T *node) {
  node->next = nullptr;
  if (last) {
    last->next = node;
  } else {
    first = node;
  }
  last = node;
}

template <typename T> inline void sll_stack_push(T *&top, T *node) {
  node->next = top;
  top = node;
}

// The top node, unlinked; null when the stack is empty.
template <typename T> inline T *sll_stack_pop(T *&top) {
  T *node = top;
  if (node) top = node->next;
  return node;
}
