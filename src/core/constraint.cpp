// The constraint tree: copy, release, text and the comparison type check.
// Every walk over the tree is a loop, never a recursion, so the depth of a
// tree costs heap (or nothing) but no C stack. What differs between the kinds
// is in their node descriptions (constraint.hpp); the code here is the same
// for all of them.
#include "core/constraint.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>

namespace norbe::core {

namespace {

// A fixed inline buffer that spills to the heap only when it is full: walks of
// ordinary trees never allocate for their work list. T is trivially copyable.
template <class T, std::size_t N>
class SmallStack {
 public:
  bool empty() const noexcept { return size_ == 0; }

  void push(const T& item) {
    if (size_ < N) {
      inline_[size_] = item;
    } else {
      spill_.push_back(item);
    }
    ++size_;
  }

  T& top() noexcept { return size_ <= N ? inline_[size_ - 1] : spill_.back(); }

  T pop() noexcept {
    --size_;
    if (size_ < N) return inline_[size_];
    T item = spill_.back();
    spill_.pop_back();
    return item;
  }

 private:
  std::array<T, N> inline_;
  std::size_t size_ = 0;
  std::vector<T> spill_;
};

constexpr std::array<std::string_view, cmp_type_count> kCmpSymbols = {"<", "<=", "!=", "==", ">=", ">"};
constexpr std::array<std::string_view, cmp_type_count> kCmpNames = {
    "Less", "LessOrEqual", "NotEqual", "Equal", "GreaterOrEqual", "Greater",
};
// The text between the two operands of a comparison.
constexpr std::array<std::string_view, cmp_type_count> kCmpSeparators = {
    " ] < [ ", " ] <= [ ", " ] != [ ", " ] == [ ", " ] >= [ ", " ] > [ ",
};
constexpr std::array<std::string_view, 6> kValueTypeNames = {
    "Unknown", "Bool", "Int", "Float", "Str", "Version",
};

constexpr std::size_t cmp_index(CmpType op) noexcept {
  const auto index = static_cast<std::size_t>(op);
  return index < cmp_type_count ? index : static_cast<std::size_t>(CmpType::Equal);
}

}  // namespace

// The owner of the tree algorithms: it alone touches the tag and node pointer
// of a constraint directly.
struct ConstraintAccess {
  // A node detached from any constraint, owned by whoever holds this.
  struct Owned {
    ConstraintKind kind;
    void* node;
  };

  static Owned detach(Constraint& c) noexcept { return {c.kind_, std::exchange(c.node_, nullptr)}; }

  // The slot is empty.
  static void attach(Constraint& slot, Owned owned) noexcept {
    slot.kind_ = owned.kind;
    slot.node_ = owned.node;
  }

  // Calls f with the node of that kind, typed. The one switch over the kinds.
  template <class F>
  static decltype(auto) visit(ConstraintKind kind, void* node, F&& f) {
    switch (kind) {
      case ConstraintKind::Cmp:
        return f(*static_cast<CmpNode*>(node));
      case ConstraintKind::Depends:
        return f(*static_cast<DependsNode*>(node));
      case ConstraintKind::IfThen:
        return f(*static_cast<IfThenNode*>(node));
      case ConstraintKind::Maximize:
        return f(*static_cast<MaximizeNode*>(node));
      case ConstraintKind::Minimize:
        return f(*static_cast<MinimizeNode*>(node));
      case ConstraintKind::NumOf:
        return f(*static_cast<NumOfNode*>(node));
      case ConstraintKind::SpecOption:
        return f(*static_cast<SpecOptionNode*>(node));
      case ConstraintKind::Value:
        break;
    }
    return f(*static_cast<ValueNode*>(node));
  }
  template <class F>
  static decltype(auto) visit(const Constraint& c, F&& f) {
    return visit(c.kind_, c.node_, [&](auto& node) -> decltype(auto) { return f(std::as_const(node)); });
  }

  template <std::size_t... I>
  static constexpr std::array<bool, sizeof...(I)> leaf_kinds(std::index_sequence<I...>) {
    return {is_leaf_node<std::tuple_element_t<I, ConstraintNodes>>...};
  }
  static bool is_leaf(ConstraintKind kind) noexcept {
    static constexpr auto leaves = leaf_kinds(std::make_index_sequence<std::tuple_size_v<ConstraintNodes>>());
    return leaves[static_cast<std::size_t>(kind)];
  }

  // Walks a tree in text order with an explicit stack: for each node the
  // visitor's enter(node) runs, then each child in turn, with
  // between(node, i) before child i > 0, then leave(node). Empty
  // constraints are skipped.
  template <class Visitor>
  static void walk(const Constraint& root, Visitor& visitor) {
    struct Frame {
      const Constraint* c;
      std::size_t next;
      std::size_t count;
    };
    SmallStack<Frame, 32> stack;
    const auto enter = [&](const Constraint& c) {
      if (c.node_ == nullptr) return;
      visit(c, [&]<class Node>(const Node& node) {
        visitor.enter(node);
        std::size_t count = 0;
        if constexpr (!is_leaf_node<Node>) count = node.child_count();
        if (count == 0) {
          visitor.leave(node);
        } else {
          stack.push({&c, 0, count});
        }
      });
    };
    enter(root);
    while (!stack.empty()) {
      Frame& top = stack.top();
      if (top.next == top.count) {
        const Frame done = stack.pop();
        visit(*done.c, [&](const auto& node) { visitor.leave(node); });
        continue;
      }
      const std::size_t i = top.next++;
      visit(*top.c, [&]<class Node>(const Node& node) {
        if constexpr (!is_leaf_node<Node>) {  // leaves have no frame
          if (i > 0) visitor.between(node, i);
          enter(node.child(i));
        }
      });
    }
  }

  // The text form: literals around and between the children, leaves' payloads.
  struct TextVisitor {
    std::string& text;

    template <class Node>
    void enter(const Node& node) {
      text += Node::prefix;
      if constexpr (is_leaf_node<Node>) node.append_payload(text);
    }
    template <class Node>
    void between(const Node& node, std::size_t) {
      text += node.separator();
    }
    template <class Node>
    void leave(const Node&) {
      text += Node::suffix;
    }
  };

  // Gives up this constraint's share of a node: true when it was the last,
  // and the node is the caller's to take apart.
  static bool claim(Owned owned) noexcept { return Constraint::owners_of(owned.node).release(); }

  // The last child slot of the node that holds an inner node this tree was
  // the last owner of; when there is none, the node is freed and the answer
  // is null. Leaves met on the way are freed at once (or let go of, while
  // other trees hold them), inner nodes that other trees still hold are let
  // go of, and released entries leave a NumOf's block, so the search stays
  // short; a block that other copies still share is let go of, not walked.
  template <class Node>
  static Constraint* last_child_or_free(Node& node) noexcept {
    if constexpr (std::is_same_v<Node, NumOfNode>) {
      if (node.of.claim()) {
        for (std::size_t i = node.of.size(); i-- > 0;) {
          if (Constraint* claimed = take_child(node.of.slot(i))) return claimed;
          node.of.pop_back();
        }
      }
    } else if constexpr (!is_leaf_node<Node>) {
      for (std::size_t i = node.child_count(); i-- > 0;) {
        if (Constraint* claimed = take_child(node.child(i))) return claimed;
      }
    }
    delete &node;
    return nullptr;
  }
  static Constraint* last_child_or_free(Owned owned) noexcept {
    return visit(owned.kind, owned.node, [](auto& node) { return last_child_or_free(node); });
  }

  // One child met by the release walk: the slot, if it holds an inner node
  // that is now the walk's to take apart; else null, with the slot emptied
  // (a leaf freed or let go of, an inner node let go of).
  static Constraint* take_child(Constraint& child) noexcept {
    if (child.empty()) return nullptr;
    if (claim({child.kind_, child.node_})) {
      if (!is_leaf(child.kind_)) return &child;
      free_leaf({child.kind_, child.node_});
    }
    child.node_ = nullptr;
    return nullptr;
  }

  static void free_leaf(Owned owned) noexcept {
    visit(owned.kind, owned.node, []<class Node>(Node& node) {
      if constexpr (is_leaf_node<Node>) delete &node;
    });
  }

  // The slot of the node that holds the link back up while a child is
  // released: the last one still holding anything (those after it are
  // released already).
  template <class Node>
  static Constraint* link_slot(Node& node) noexcept {
    if constexpr (std::is_same_v<Node, NumOfNode>) {
      return &node.of.slot(node.of.size() - 1);
    } else if constexpr (!is_leaf_node<Node>) {
      for (std::size_t i = node.child_count(); i-- > 0;) {
        if (!node.child(i).empty()) return &node.child(i);
      }
    }
    return nullptr;
  }
  static Constraint* link_slot(Owned owned) noexcept {
    return visit(owned.kind, owned.node, [](auto& node) { return link_slot(node); });
  }

  // Releases a tree whose root this constraint was the last owner of, in
  // linear time with no memory of its own: on the way down, the slot of the
  // child being released holds the link back up (the parent's parent), so
  // the path back lives in the tree itself. Children go last first; a node
  // is freed once its last child is gone; the walk stops at nodes that other
  // trees still hold.
  static void release(Owned root) noexcept {
    static constexpr char top = 0;  // the link above the root, of an inner kind like every link
    Owned parent{ConstraintKind::Cmp, const_cast<char*>(&top)};
    Owned cur = root;
    for (;;) {
      if (Constraint* slot = last_child_or_free(cur)) {  // an inner node
        const Owned child = detach(*slot);
        attach(*slot, parent);
        parent = cur;
        cur = child;
        continue;
      }
      if (parent.node == &top) return;
      const Owned up = detach(*link_slot(parent));
      cur = parent;
      parent = up;
    }
  }

  // Frees the tree of a node whose last owner the caller was.
  static void release_last(Owned owned) noexcept {
    visit(owned.kind, owned.node, [&]<class Node>(Node& node) {
      if constexpr (is_leaf_node<Node>) {
        delete &node;
      } else {
        release(owned);
      }
    });
  }

  static void append_text(std::string& out, const Constraint& root) {
    TextVisitor visitor{out};
    walk(root, visitor);
  }

  static std::optional<ValueType> value_type(const Constraint& c) {
    if (c.node_ == nullptr) return std::nullopt;
    return visit(c, [](const auto& node) { return node.value_type(); });
  }
};

NumOfEntries::Block* NumOfEntries::new_block(std::uint32_t count) {
  void* memory = BlockPool::allocate(sizeof(Block) + count * sizeof(Constraint));
  return new (memory) Block{{}, 0, count};
}

NumOfEntries::NumOfEntries(ConstraintList&& entries) {
  if (entries.empty()) return;
  if (entries.size() > UINT32_MAX) throw std::bad_alloc();
  block_ = new_block(static_cast<std::uint32_t>(entries.size()));
  for (Constraint& entry : entries) new (&block_->items()[block_->size++]) Constraint(std::move(entry));
}

std::span<Constraint> NumOfEntries::mutate() {
  if (block_ == nullptr) return {};
  // The copy's entries share their nodes with the original's.
  const auto copy = [](const Block& shared) {
    Block* own = new_block(shared.size);
    for (const Constraint& entry : std::span(shared.items(), shared.size))
      new (&own->items()[own->size++]) Constraint(entry);
    return own;
  };
  const auto let_go = [](Block* old) { NumOfEntries released(old); };
  return {copy_on_write(block_, copy, let_go).items(), size()};
}

bool NumOfEntries::claim() noexcept {
  if (block_ == nullptr || block_->owners.release()) return true;
  block_ = nullptr;
  return false;
}

void NumOfEntries::pop_back() noexcept {
  items()[--block_->size].~Constraint();
}

void NumOfEntries::free_block(Block* block) noexcept {
  // Each entry is released by its own (iterative) walk; entries of claimed
  // blocks are gone already.
  while (block->size != 0) block->items()[--block->size].~Constraint();
  const std::size_t bytes = sizeof(Block) + block->allocated * sizeof(Constraint);
  block->~Block();
  BlockPool::release(block, bytes);
}

std::string_view CmpNode::separator() const noexcept {
  return cmp_separator(op);
}

void Constraint::release_last(ConstraintKind kind, void* node) noexcept {
  ConstraintAccess::release_last({kind, node});
}

std::optional<CmpType> cmp_type_from_operator(int op) {
  switch (op) {
    case 0:
      return CmpType::Less;
    case 1:
      return CmpType::LessOrEqual;
    case 2:
      return CmpType::Equal;
    case 3:
      return CmpType::NotEqual;
    case 4:
      return CmpType::Greater;
    case 5:
      return CmpType::GreaterOrEqual;
    default:
      return std::nullopt;
  }
}

std::string_view cmp_symbol(CmpType op) {
  return kCmpSymbols[cmp_index(op)];
}

std::string_view cmp_separator(CmpType op) {
  return kCmpSeparators[cmp_index(op)];
}

std::string_view cmp_type_name(CmpType op) {
  return kCmpNames[cmp_index(op)];
}

std::optional<ValueType> value_type_of(const Constraint& constraint) {
  return ConstraintAccess::value_type(constraint);
}

std::string_view value_type_name(ValueType type) {
  const auto index = static_cast<std::size_t>(type);
  return index < kValueTypeNames.size() ? kValueTypeNames[index] : std::string_view();
}

void append_constraint_text(std::string& out, const Constraint& constraint) {
  ConstraintAccess::append_text(out, constraint);
}

std::string constraint_text(const Constraint& constraint) {
  std::string out;
  ConstraintAccess::append_text(out, constraint);
  return out;
}

namespace {

void append_type(std::string& out, std::optional<ValueType> type) {
  if (!type) {
    out += "None";
    return;
  }
  out += "Some(";
  out += value_type_name(*type);
  out += ')';
}

}  // namespace

std::optional<std::string> check_comparison(const Constraint& lhs, const Constraint& rhs, CmpType op) {
  const std::optional<ValueType> lt = value_type_of(lhs);
  const std::optional<ValueType> rt = value_type_of(rhs);
  if (lt && rt && *lt == *rt && (*lt != ValueType::Bool || op == CmpType::Equal || op == CmpType::NotEqual)) {
    return std::nullopt;
  }
  std::optional<std::string> message(std::in_place);
  std::string& m = *message;
  m += "Cannot compare type ";
  append_type(m, lt);
  m += " from constraint ";
  append_constraint_text(m, lhs);
  m += " with type ";
  append_type(m, rt);
  m += " from constraint ";
  append_constraint_text(m, rhs);
  m += " using operator '";
  m += cmp_symbol(op);
  m += '\'';
  return message;
}

}  // namespace norbe::core
