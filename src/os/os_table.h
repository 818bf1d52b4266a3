// Striped hash tables (written once): the claim table, the request registry, the content
// table and the path index are each one of these.
//
// A node's bucket is its key's hash modulo the bucket count, and bucket b belongs to stripe
// b modulo the stripe count. A stripe's SRW lock guards the lists of its buckets (shared to
// search, exclusive to link or unlink); its arena holds the stripe's nodes, and nodes that are
// unlinked wait on its free list for reuse, so memory follows the nodes present, not every
// key ever seen. Nodes link through `next`, and also through `prev` when they have one.
// Whatever else a table keeps per stripe lives in `Extra`.
#pragma once

#include <type_traits>

#include "base/base.h"

struct OsObject;
OsObject *srw_create();

struct StripedNoExtra {};

template <typename Node, typename Extra = StripedNoExtra> struct StripedTable {
  struct Bucket {
    Node *first;
    Node *last;
  };
  struct Stripe {
    Arena *arena;
    OsObject *lock; // SRW
    Node *free_nodes;
    Extra extra;
  };
  struct Slot {
    Bucket *bucket;
    Stripe *stripe;
    u64 bucket_index;
  };

  Bucket *buckets;
  Stripe *stripes;
  u64 bucket_count;
  u64 stripe_count;

  static constexpr bool Doubly = requires(Node *n) { n->prev; };

  // The buckets and stripes come from `arena`; each stripe gets an arena of its own.
  void init(Arena *arena, u64 buckets_wanted, u64 stripes_wanted, u64 stripe_reserve, u64 stripe_commit) {
    bucket_count = max_of<u64>(1, buckets_wanted);
    stripe_count = clamp_of<u64>(1, stripes_wanted, bucket_count);
    buckets = arena_push<Bucket>(arena, bucket_count);
    stripes = arena_push<Stripe>(arena, stripe_count);
    for (u64 i = 0; i < stripe_count; i += 1) {
      stripes[i].arena = arena_create(stripe_reserve, stripe_commit);
      stripes[i].lock = srw_create();
    }
  }

  Slot slot(u64 hash) {
    u64 b = hash % bucket_count;
    return Slot{&buckets[b], &stripes[b % stripe_count], b};
  }

  // The first node of the bucket that `match` accepts; under the stripe's lock, either way.
  template <typename Match> static Node *find(Bucket *bucket, Match match) {
    for (Node *n = bucket->first; n; n = n->next) {
      if (match(n)) return n;
    }
    return nullptr;
  }

  // Under the stripe's exclusive lock: a free node when there is one, else a new one from the
  // stripe's arena; not cleared either way.
  static Node *take(Stripe *stripe) {
    Node *n = sll_stack_pop(stripe->free_nodes);
    return n ? n : arena_push_uninit<Node>(stripe->arena);
  }
  static void give_back(Stripe *stripe, Node *n) { sll_stack_push(stripe->free_nodes, n); }

  // Under the stripe's exclusive lock: links the node last in its bucket.
  static void append(Bucket *bucket, Node *n) {
    n->next = nullptr;
    if constexpr (Doubly) n->prev = bucket->last;
    if (bucket->last) {
      bucket->last->next = n;
    } else {
      bucket->first = n;
    }
    bucket->last = n;
  }

  // Under the stripe's exclusive lock: unlinks the node; `previous` is the node before it
  // (null for the first), needed only where nodes have no `prev`.
  static void unlink(Bucket *bucket, Node *previous, Node *n) {
    if constexpr (Doubly) previous = n->prev;
    if (previous) {
      previous->next = n->next;
    } else {
      bucket->first = n->next;
    }
    if constexpr (Doubly) {
      if (n->next) n->next->prev = previous;
    }
    if (bucket->last == n) bucket->last = previous;
  }
};
