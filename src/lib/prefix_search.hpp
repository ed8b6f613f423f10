// The PrefixSearch class: its type object, instances and the shared borrow
// every instance method takes.
#pragma once

#include "py_ref.hpp"

#include <atomic>
#include <optional>

#include "prefix/trie.hpp"

namespace quillon::py {

struct PrefixSearchObject {
  PyObject_HEAD
  Trie trie;  // owned, never changed after creation
  // 0: unused; n > 0: n calls hold a shared borrow; -1: mutably borrowed
  // (a state nothing here enters).
  std::atomic<Py_ssize_t> borrow_count;
};

// The type object, created on first need and kept for the life of the
// process. Null with PanicException set if it cannot be created.
PyTypeObject* prefix_search_type();

// A new instance owning `trie`; null with the interpreter's error set.
PyObject* new_prefix_search(Trie&& trie);

// A shared borrow of an instance for the duration of one method call.
class SharedBorrow {
 public:
  // Checks that `self` is a PrefixSearch (TypeError otherwise) and takes a
  // shared borrow; nothing (with the error set) on failure.
  static std::optional<SharedBorrow> take(PyObject* self);
  SharedBorrow(SharedBorrow&& other) noexcept : self_(std::exchange(other.self_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (self_) self_->borrow_count.fetch_sub(1);
  }

  const Trie& trie() const { return self_->trie; }

 private:
  explicit SharedBorrow(PrefixSearchObject* self) : self_(self) {}
  PrefixSearchObject* self_;
};

}  // namespace quillon::py
