// The constraint expression tree: eight variants. A node is shared by the
// copies of the trees that hold it (and by the objects of the binding that
// hold it), and never changes while shared, so every tree still behaves as a
// deep copy of its own. Release and text walk the tree without recursion, so
// a tree of any depth is safe on any thread's stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/inline_string.hpp"
#include "core/node_pool.hpp"
#include "core/option_value.hpp"
#include "core/platform.hpp"
#include "core/shared.hpp"

namespace norbe::core {

// Fixed values: NotEqual comes before Equal.
enum class CmpType : std::uint8_t { Less, LessOrEqual, NotEqual, Equal, GreaterOrEqual, Greater };
inline constexpr int cmp_type_count = 6;

// The comparison symbols with the brackets around them: " ] <= [ ".
std::string_view cmp_separator(CmpType op);
// The interpreter numbers its operators < 0, <= 1, == 2, != 3, > 4, >= 5.
std::optional<CmpType> cmp_type_from_operator(int op);
std::string_view cmp_symbol(CmpType op);     // "<", "<=", "!=", "==", ">=", ">"
std::string_view cmp_type_name(CmpType op);  // "Less", ..., "Greater"

enum class ConstraintKind : std::uint8_t {
  Cmp,
  Depends,
  IfThen,
  Maximize,
  Minimize,
  NumOf,
  SpecOption,
  Value
};

// The comparison type of a constraint; absent for IfThen, Maximize, Minimize.
enum class ValueType : std::uint8_t { Unknown, Bool, Int, Float, Str, Version };

struct CmpNode;
struct DependsNode;
struct IfThenNode;
template <ConstraintKind Kind>
  requires(Kind == ConstraintKind::Maximize || Kind == ConstraintKind::Minimize)
struct GoalNode;
using MaximizeNode = GoalNode<ConstraintKind::Maximize>;
using MinimizeNode = GoalNode<ConstraintKind::Minimize>;
struct NumOfNode;
struct SpecOptionNode;
struct ValueNode;

// A tag and one pointer to a separately allocated node. A moved-from
// constraint is empty (holds no node); every other constraint holds one.
// Copying a constraint adds an owner to its node (core/shared.hpp). Every
// node begins with its count of owners, so that copying and letting go of a
// node that others still hold need not know its kind.
class Constraint {
 public:
  Constraint() noexcept = default;
  // A constraint holding the node (moved into its own allocation).
  template <class Node>
    requires(!std::is_same_v<Node, Constraint>)
  explicit Constraint(Node node);

  Constraint(const Constraint& other) noexcept : kind_(other.kind_), node_(other.node_) {
    if (node_ != nullptr) owners_of(node_).add();
  }
  Constraint& operator=(const Constraint& other) noexcept { return *this = Constraint(other); }
  Constraint(Constraint&& other) noexcept : kind_(other.kind_), node_(std::exchange(other.node_, nullptr)) {}
  Constraint& operator=(Constraint&& other) noexcept {
    if (this != &other) {
      // Detach first: other may live inside the tree being released.
      const ConstraintKind old_kind = kind_;
      void* const old_node = node_;
      kind_ = other.kind_;
      node_ = std::exchange(other.node_, nullptr);
      if (old_node != nullptr && owners_of(old_node).release()) release_last(old_kind, old_node);
    }
    return *this;
  }
  ~Constraint() {  // the last owner releases the whole tree, iterative
    if (node_ != nullptr && owners_of(node_).release()) release_last(kind_, node_);
  }

  ConstraintKind kind() const noexcept { return kind_; }
  bool empty() const noexcept { return node_ == nullptr; }

  // Typed access; the caller has checked kind().
  template <class Node>
  const Node& as() const noexcept {
    return *static_cast<const Node*>(node_);
  }
  // The node to write: one shared with other trees is copied first (its
  // children then shared with the original). Whatever is written into it
  // must not hold this node: make such a copy before calling mutate().
  template <class Node>
  Node& mutate();

  // A constraint holding a new node of type Node made from `node` (copied
  // or moved): one allocation.
  template <class Node>
  static Constraint emplace(Node&& node);
  // A constraint holding the node that `make` returns, made in its place.
  template <class Node, class Make>
  static Constraint make(Make&& make);

 private:
  friend struct ConstraintAccess;
  template <class Node>
  friend class Shared;
  Constraint(ConstraintKind kind, void* node) noexcept : kind_(kind), node_(node) {}
  static OwnerCount& owners_of(void* node) noexcept { return *static_cast<OwnerCount*>(node); }
  // Frees the tree of a node whose last owner the caller was.
  static void release_last(ConstraintKind kind, void* node) noexcept;
  ConstraintKind kind_ = ConstraintKind::Value;
  void* node_ = nullptr;
};

// The constraints of an outline, and a NumOf's entries while they are
// converted; their storage comes from the node pool.
using ConstraintList = std::vector<Constraint, PoolAllocator<Constraint>>;

// The kinds, one node type each. Every node describes itself for the one
// tree walker (constraint.cpp): its children (child_count() and child(i)),
// and the literals of its text form, which is
//
//   prefix, then the children (or a leaf's payload) with `separator` between
//   them, then suffix.
//
// A leaf writes its payload with append_payload(); every node keeps the
// count of its owners (`owners`). Adding a kind means adding its node here,
// its name to ConstraintKind, its type to ConstraintNodes and its case to the
// one switch (ConstraintAccess::visit).

// "[ " lhs " ] <op> [ " rhs " ]"
struct CmpNode {
  OwnerCount owners{};
  CmpType op;  // beside the count: the node stays 40 bytes
  Constraint lhs;
  Constraint rhs;

  static constexpr std::string_view prefix = "[ ", suffix = " ]";
  std::string_view separator() const noexcept;
  static constexpr std::size_t child_count() noexcept { return 2; }
  const Constraint& child(std::size_t i) const noexcept { return i == 0 ? lhs : rhs; }
  Constraint& child(std::size_t i) noexcept { return i == 0 ? lhs : rhs; }
  static constexpr std::optional<ValueType> value_type() noexcept { return ValueType::Bool; }
  NORBE_POOLED_NODE(CmpNode)
};

// "Depends( " on " )"
struct DependsNode {
  OwnerCount owners{};
  // As much of the name inline as fits beside the count in the allocator's
  // smallest chunk (most package names are shorter).
  BasicInlineString<heap_smallest_block - sizeof(OwnerCount)> on;

  static constexpr std::string_view prefix = "Depends( ", suffix = " )";
  void append_payload(std::string& out) const { out += on.view(); }
  static constexpr std::optional<ValueType> value_type() noexcept { return ValueType::Bool; }
  NORBE_POOLED_NODE(DependsNode)
};

// "If( " cond " ) Then [ " then " ]"
struct IfThenNode {
  OwnerCount owners{};
  Constraint cond;
  Constraint then;

  static constexpr std::string_view prefix = "If( ", suffix = " ]";
  static constexpr std::string_view separator() noexcept { return " ) Then [ "; }
  static constexpr std::size_t child_count() noexcept { return 2; }
  const Constraint& child(std::size_t i) const noexcept { return i == 0 ? cond : then; }
  Constraint& child(std::size_t i) noexcept { return i == 0 ? cond : then; }
  static constexpr std::optional<ValueType> value_type() noexcept { return std::nullopt; }
  NORBE_POOLED_NODE(IfThenNode)
};

// "Maximize( " item " )" and "Minimize( " item " )": an optimisation goal,
// the two kinds told apart by their node type only.
template <ConstraintKind Kind>
  requires(Kind == ConstraintKind::Maximize || Kind == ConstraintKind::Minimize)
struct GoalNode {
  OwnerCount owners{};
  Constraint item;

  static constexpr std::string_view prefix = Kind == ConstraintKind::Maximize ? "Maximize( " : "Minimize( ";
  static constexpr std::string_view suffix = " )";
  static constexpr std::string_view separator() noexcept { return {}; }
  static constexpr std::size_t child_count() noexcept { return 1; }
  const Constraint& child(std::size_t) const noexcept { return item; }
  Constraint& child(std::size_t) noexcept { return item; }
  static constexpr std::optional<ValueType> value_type() noexcept { return std::nullopt; }
  NORBE_POOLED_NODE(GoalNode)
};

// The entries of a NumOf: one block from the node pool holding its counts
// and the entries, sized once. Copies of a NumOf's payload (a NumOf object's
// own, copied into a tree) share the block (core/shared.hpp), and a shared
// block is never changed: writing an entry first copies the block
// (mutate()).
class NumOfEntries {
 public:
  NumOfEntries() noexcept = default;
  // The entries moved into a new block (implicit: the `of` setter's value).
  NumOfEntries(ConstraintList&& entries);  // NOLINT(google-explicit-constructor)
  NumOfEntries(const NumOfEntries& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) block_->owners.add();
  }
  NumOfEntries(NumOfEntries&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  NumOfEntries& operator=(NumOfEntries other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~NumOfEntries() {
    if (block_ != nullptr && block_->owners.release()) free_block(block_);
  }

  std::size_t size() const noexcept { return block_ == nullptr ? 0 : block_->size; }
  bool empty() const noexcept { return size() == 0; }
  const Constraint* begin() const noexcept { return items(); }
  const Constraint* end() const noexcept { return items() + size(); }
  const Constraint& operator[](std::size_t i) const noexcept { return items()[i]; }
  std::span<const Constraint> view() const noexcept { return {begin(), size()}; }

  // The entries to write: a block shared with other copies is copied first.
  // Whatever is written into them must not share this block (a copy of a
  // tree holding this NumOf): make such a copy before calling mutate().
  std::span<Constraint> mutate();

  // For the release walk. claim(): true if this is the block's last owner
  // (the entries may then be taken apart), else lets go of the block and
  // answers false. slot() and pop_back() (which destroys the last entry, an
  // empty one) are for a claimed block only.
  bool claim() noexcept;
  Constraint& slot(std::size_t i) noexcept { return items()[i]; }
  void pop_back() noexcept;

 private:
  struct Block {
    OwnerCount owners;
    std::uint32_t size;       // the entries still in place (the release walk takes them from the back)
    std::uint32_t allocated;  // the entries the block was made for
    std::uint32_t unused = 0;

    Constraint* items() noexcept { return reinterpret_cast<Constraint*>(this + 1); }
    const Constraint* items() const noexcept { return reinterpret_cast<const Constraint*>(this + 1); }
  };
  static_assert(sizeof(Block) % alignof(Constraint) == 0);

  explicit NumOfEntries(Block* block) noexcept : block_(block) {}
  Constraint* items() const noexcept { return block_ == nullptr ? nullptr : block_->items(); }
  // A block for `count` entries, not yet made, with one owner.
  static Block* new_block(std::uint32_t count);
  // Releases the entries still in place and frees the block.
  static void free_block(Block* block) noexcept;

  Block* block_ = nullptr;
};

// "NumOf( " entries joined by ", " " )"; no entries: "NumOf(  )".
struct NumOfNode {
  OwnerCount owners{};
  NumOfEntries of;

  static constexpr std::string_view prefix = "NumOf( ", suffix = " )";
  static constexpr std::string_view separator() noexcept { return ", "; }
  std::size_t child_count() const noexcept { return of.size(); }
  const Constraint& child(std::size_t i) const noexcept { return of[i]; }
  static constexpr std::optional<ValueType> value_type() noexcept { return ValueType::Int; }
  NORBE_POOLED_NODE(NumOfNode)
};

// "Package '" package_name "' -> Option '" option_name "'"
struct SpecOptionNode {
  OwnerCount owners{};
  InlineString package_name;
  InlineString option_name;

  static constexpr std::string_view prefix = "Package '", suffix = "'";
  static constexpr std::string_view separator() noexcept { return "' -> Option '"; }
  void append_payload(std::string& out) const {
    out += package_name.view();
    out += separator();
    out += option_name.view();
  }
  static constexpr std::optional<ValueType> value_type() noexcept { return ValueType::Unknown; }
  NORBE_POOLED_NODE(SpecOptionNode)
};

// The option value's own text, with nothing around it.
struct ValueNode {
  OwnerCount owners{};
  SpecOptionValue value;

  static constexpr std::string_view prefix = "", suffix = "";
  void append_payload(std::string& out) const { append_option_text(out, value); }
  std::optional<ValueType> value_type() const noexcept {
    // The value types follow Unknown in the order of the option kinds.
    return static_cast<ValueType>(static_cast<int>(kind_of(value)) + 1);
  }
  NORBE_POOLED_NODE(ValueNode)
};

// The node types in the order of ConstraintKind.
using ConstraintNodes = std::tuple<CmpNode, DependsNode, IfThenNode, MaximizeNode, MinimizeNode, NumOfNode,
                                   SpecOptionNode, ValueNode>;
static_assert(std::tuple_size_v<ConstraintNodes> == static_cast<std::size_t>(ConstraintKind::Value) + 1);

// Every node begins with its count of owners (Constraint::owners_of).
template <class... Nodes>
constexpr bool counts_first(std::tuple<Nodes...>*) {
  return ((std::is_standard_layout_v<Nodes> && offsetof(Nodes, owners) == 0) && ...);
}
static_assert(counts_first(static_cast<ConstraintNodes*>(nullptr)));

template <class Node>
inline constexpr bool is_leaf_node =
    requires(const Node& node, std::string& out) { node.append_payload(out); };

template <class Node, std::size_t I = 0>
constexpr ConstraintKind kind_of_node() {
  if constexpr (std::is_same_v<Node, std::tuple_element_t<I, ConstraintNodes>>) {
    return static_cast<ConstraintKind>(I);
  } else {
    return kind_of_node<Node, I + 1>();
  }
}

template <class Node>
  requires(!std::is_same_v<Node, Constraint>)
Constraint::Constraint(Node node) : Constraint(emplace(std::move(node))) {}

template <class Node, class Make>
Constraint Constraint::make(Make&& make) {
  return Constraint(kind_of_node<Node>(), new Node(make()));
}

template <class NodeArg>
Constraint Constraint::emplace(NodeArg&& node) {
  using Node = std::remove_cvref_t<NodeArg>;
  return Constraint(kind_of_node<Node>(), new Node(std::forward<NodeArg>(node)));
}

template <class Node>
Node& Constraint::mutate() {
  Node* node = static_cast<Node*>(node_);
  copy_on_write(
      node, [](const Node& shared) { return new Node(shared); },
      [](Node* old) { Constraint released(kind_of_node<Node>(), old); });
  node_ = node;
  return *node;
}

// One owner's hold of a node of a known kind: what an object of the binding
// keeps, so that storing it in a tree, or reading a tree into an object,
// adds an owner instead of copying. Empty only when moved from.
template <class NodeType>
class Shared {
 public:
  using Node = NodeType;
  static constexpr ConstraintKind kind = kind_of_node<Node>();

  // A new node holding the payload (allocates).
  Shared(Node&& payload) : node_(new Node(std::move(payload))) {}  // NOLINT(google-explicit-constructor)
  // A new node: the one `make` returns, made in its place.
  template <class Make>
  static Shared make(Make&& make) {
    return Shared(new Node(make()));
  }
  // Another owner of the node of a constraint of this kind.
  static Shared of(const Constraint& constraint) noexcept {
    auto* node = static_cast<Node*>(constraint.node_);
    node->owners.add();
    return Shared(node);
  }
  Shared(const Shared& other) noexcept : node_(other.node_) { node_->owners.add(); }
  Shared(Shared&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  Shared& operator=(const Shared&) = delete;
  // The node's own destructor releases its children, each by the release
  // walk: one level of nesting, whatever the depth of the tree.
  ~Shared() {
    if (node_ != nullptr && node_->owners.release()) delete node_;
  }

  const Node& get() const noexcept { return *node_; }
  // The node to write (copied first while others hold it; see
  // Constraint::mutate()).
  Node& mutate() {
    return copy_on_write(
        node_, [](const Node& shared) { return new Node(shared); },
        [](Node* old) { Constraint released(kind, old); });
  }
  // A constraint that is another owner of the node.
  Constraint share() const noexcept {
    node_->owners.add();
    return Constraint(kind, node_);
  }

 private:
  explicit Shared(Node* node) noexcept : node_(node) {}
  Node* node_;
};

std::optional<ValueType> value_type_of(const Constraint& constraint);
std::string_view value_type_name(ValueType type);

// The one-line text form, streamed into out.
void append_constraint_text(std::string& out, const Constraint& constraint);
std::string constraint_text(const Constraint& constraint);

// The type check of the comparison operators: nullopt when accepted, else the
// refusal message ("Cannot compare type Some(Int) from constraint ... using operator '>='").
std::optional<std::string> check_comparison(const Constraint& lhs, const Constraint& rhs, CmpType op);

}  // namespace norbe::core
