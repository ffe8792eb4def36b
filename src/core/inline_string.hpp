// An immutable UTF-8 text that keeps up to Bytes - 1 bytes inside itself
// (InlineString: 23), and longer texts in one shared block.
//
// Package and option names and most Str constants are short, so a tree node
// holding one needs no allocation of its own: Depends("libc6") is one node.
// A longer text lives in a heap block of its own size with a count of owners
// (core/shared.hpp): copies of the string share the block, so copying a node
// that holds a long text (before a write to one of its other fields) copies
// no text, and needs no memory for it. InlineString is 24 bytes
// (std::string: 32 bytes and 15 inline); a Depends node keeps a smaller one
// beside its count of owners, so that it fills the allocator's smallest chunk.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "core/platform.hpp"
#include "core/shared.hpp"

namespace norbe::core {

template <std::size_t Bytes>
class BasicInlineString {
  static_assert(Bytes > sizeof(char*) + sizeof(std::size_t), "room for the heap form and its tag");

 public:
  static constexpr std::size_t inline_capacity = Bytes - 1;

  BasicInlineString() noexcept { set_inline_size(0); }
  BasicInlineString(const char* data, std::size_t size) { assign_new(data, size); }
  BasicInlineString(const char* text) : BasicInlineString(std::string_view(text)) {}
  BasicInlineString(std::string_view text) : BasicInlineString(text.data(), text.size()) {}
  BasicInlineString(const std::string& text) : BasicInlineString(text.data(), text.size()) {}
  // Shares a long text's block.
  BasicInlineString(const BasicInlineString& other) noexcept {
    if (!other.is_inline()) other.heap().block->owners.add();
    std::memcpy(raw_, other.raw_, sizeof raw_);
  }
  BasicInlineString(BasicInlineString&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.set_inline_size(0);
  }
  BasicInlineString& operator=(const BasicInlineString& other) noexcept {
    if (this != &other) *this = BasicInlineString(other);
    return *this;
  }
  BasicInlineString& operator=(BasicInlineString&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(raw_, other.raw_, sizeof raw_);
      other.set_inline_size(0);
    }
    return *this;
  }
  BasicInlineString& operator=(std::string_view text) { return *this = BasicInlineString(text); }
  BasicInlineString& operator=(const std::string& text) { return *this = BasicInlineString(text); }
  ~BasicInlineString() { release(); }

  const char* data() const noexcept { return is_inline() ? raw_ : heap().block->text(); }
  std::size_t size() const noexcept {
    return is_inline() ? static_cast<unsigned char>(raw_[kTag]) : heap().size;
  }
  bool empty() const noexcept { return size() == 0; }
  std::string_view view() const noexcept { return {data(), size()}; }
  operator std::string_view() const noexcept { return view(); }

  friend bool operator==(const BasicInlineString& a, std::string_view b) noexcept { return a.view() == b; }

 private:
  // The last byte tells the two forms apart: the size (0 to 23) of inline
  // text, or kHeap.
  static constexpr std::size_t kTag = inline_capacity;
  static constexpr char kHeap = static_cast<char>(0xFF);

  // A long text: its count of owners, then its bytes.
  struct Block {
    OwnerCount owners;
    char* text() noexcept { return reinterpret_cast<char*>(this + 1); }
  };
  static_assert(alignof(Block) <= alignof(std::max_align_t));

  struct Heap {
    Block* block;
    std::size_t size;
  };

  // Heap text: the block and the text's size, in the first 16 bytes.
  Heap heap() const noexcept {
    Heap heap;
    std::memcpy(&heap, raw_, sizeof heap);
    return heap;
  }

  bool is_inline() const noexcept { return raw_[kTag] != kHeap; }
  void set_inline_size(std::size_t size) noexcept { raw_[kTag] = static_cast<char>(size); }

  // Short texts are copied where the string is made; only long ones call
  // out (assign_heap).
  void assign_new(const char* data, std::size_t size) {
    if (size <= inline_capacity) [[likely]] {
      copy_short(raw_, data, size);
      set_inline_size(size);
    } else {
      assign_heap(data, size);
    }
  }

  NORBE_NEVER_INLINE void assign_heap(const char* data, std::size_t size) {
    if (size > static_cast<std::size_t>(-1) - sizeof(Block)) throw std::bad_alloc();
    auto* block = new (::operator new(sizeof(Block) + size)) Block{};
    std::memcpy(block->text(), data, size);
    const Heap heap{block, size};
    std::memcpy(raw_, &heap, sizeof heap);
    raw_[kTag] = kHeap;
  }

  // Copies up to 23 bytes with at most two fixed-size moves that may
  // overlap, instead of a call of the C library's memcpy for a size it
  // learns at run time (most names are copied here).
  static void copy_short(char* to, const char* from, std::size_t size) noexcept {
    if (size >= 8) {
      if (size >= 16) {
        std::memcpy(to, from, 16);
      } else {
        std::memcpy(to, from, 8);
      }
      std::memcpy(to + size - 8, from + size - 8, 8);
    } else if (size >= 4) {
      std::memcpy(to, from, 4);
      std::memcpy(to + size - 4, from + size - 4, 4);
    } else if (size != 0) {
      to[0] = from[0];
      to[size / 2] = from[size / 2];
      to[size - 1] = from[size - 1];
    }
  }

  void release() noexcept {
    if (!is_inline()) release_heap();
  }

  // Gives up this string's share of a long text (kept out of the many
  // callers that release short ones).
  NORBE_NEVER_INLINE void release_heap() noexcept {
    Block* block = heap().block;
    if (block->owners.release()) {
      block->~Block();
      ::operator delete(block);
    }
  }

  char raw_[inline_capacity + 1];
};
using InlineString = BasicInlineString<24>;
static_assert(sizeof(InlineString) == 24);

}  // namespace norbe::core
