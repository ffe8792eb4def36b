// The constraint expression tree: eight variants, each node owned by exactly
// one parent. Copy, release and text walk the tree without recursion, so a
// tree of any depth is safe on any thread's stack.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/node_pool.hpp"
#include "core/option_value.hpp"

namespace norbe::core {

// Fixed values: NotEqual comes before Equal.
enum class CmpType : std::uint8_t { Less, LessOrEqual, NotEqual, Equal, GreaterOrEqual, Greater };
inline constexpr int cmp_type_count = 6;

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

struct CmpNode;
struct DependsNode;
struct IfThenNode;
struct MaximizeNode;
struct MinimizeNode;
struct NumOfNode;
struct SpecOptionNode;
struct ValueNode;

// A tag and one owning pointer to a separately allocated node. A moved-from
// constraint is empty (holds no node); every other constraint holds one.
class Constraint {
 public:
  Constraint() noexcept = default;
  explicit Constraint(CmpNode node);
  explicit Constraint(DependsNode node);
  explicit Constraint(IfThenNode node);
  explicit Constraint(MaximizeNode node);
  explicit Constraint(MinimizeNode node);
  explicit Constraint(NumOfNode node);
  explicit Constraint(SpecOptionNode node);
  explicit Constraint(ValueNode node);

  Constraint(const Constraint& other);  // deep copy, iterative
  Constraint& operator=(const Constraint& other);
  Constraint(Constraint&& other) noexcept : kind_(other.kind_), node_(std::exchange(other.node_, nullptr)) {}
  Constraint& operator=(Constraint&& other) noexcept;
  ~Constraint();  // releases the whole tree, iterative

  ConstraintKind kind() const noexcept { return kind_; }
  bool empty() const noexcept { return node_ == nullptr; }

  // Typed access; the caller has checked kind().
  template <class Node>
  const Node& as() const noexcept {
    return *static_cast<const Node*>(node_);
  }
  template <class Node>
  Node& as() noexcept {
    return *static_cast<Node*>(node_);
  }

  // A constraint holding a new node of type Node brace-initialised from
  // `args` (a payload to copy or move, or its fields): one allocation, no
  // intermediate payload.
  template <class Node, class... Args>
  static Constraint emplace(Args&&... args);

 private:
  friend struct ConstraintAccess;
  ConstraintKind kind_ = ConstraintKind::Value;
  void* node_ = nullptr;
};

struct CmpNode {
  Constraint lhs;
  Constraint rhs;
  CmpType op;
  NORBE_POOLED_NODE(CmpNode)
};
struct DependsNode {
  std::string on;
  NORBE_POOLED_NODE(DependsNode)
};
struct IfThenNode {
  Constraint cond;
  Constraint then;
  NORBE_POOLED_NODE(IfThenNode)
};
struct MaximizeNode {
  Constraint item;
  NORBE_POOLED_NODE(MaximizeNode)
};
struct MinimizeNode {
  Constraint item;
  NORBE_POOLED_NODE(MinimizeNode)
};
struct NumOfNode {
  std::vector<Constraint> of;
  NORBE_POOLED_NODE(NumOfNode)
};
struct SpecOptionNode {
  std::string package_name;
  std::string option_name;
  NORBE_POOLED_NODE(SpecOptionNode)
};
struct ValueNode {
  SpecOptionValue value;
  NORBE_POOLED_NODE(ValueNode)
};

template <class Node>
struct NodeKind;
template <>
struct NodeKind<CmpNode> : std::integral_constant<ConstraintKind, ConstraintKind::Cmp> {};
template <>
struct NodeKind<DependsNode> : std::integral_constant<ConstraintKind, ConstraintKind::Depends> {};
template <>
struct NodeKind<IfThenNode> : std::integral_constant<ConstraintKind, ConstraintKind::IfThen> {};
template <>
struct NodeKind<MaximizeNode> : std::integral_constant<ConstraintKind, ConstraintKind::Maximize> {};
template <>
struct NodeKind<MinimizeNode> : std::integral_constant<ConstraintKind, ConstraintKind::Minimize> {};
template <>
struct NodeKind<NumOfNode> : std::integral_constant<ConstraintKind, ConstraintKind::NumOf> {};
template <>
struct NodeKind<SpecOptionNode> : std::integral_constant<ConstraintKind, ConstraintKind::SpecOption> {};
template <>
struct NodeKind<ValueNode> : std::integral_constant<ConstraintKind, ConstraintKind::Value> {};

template <class Node, class... Args>
Constraint Constraint::emplace(Args&&... args) {
  Constraint constraint;
  constraint.node_ = new Node{std::forward<Args>(args)...};
  constraint.kind_ = NodeKind<Node>::value;
  return constraint;
}

// The comparison type of a constraint; absent for IfThen, Maximize, Minimize.
enum class ValueType : std::uint8_t { Unknown, Bool, Int, Float, Str, Version };
std::optional<ValueType> value_type_of(const Constraint& constraint);
std::string_view value_type_name(ValueType type);

// The one-line text form, streamed into out.
void append_constraint_text(std::string& out, const Constraint& constraint);
std::string constraint_text(const Constraint& constraint);
void append_spec_option_text(std::string& out, std::string_view package_name, std::string_view option_name);

// The type check of the comparison operators: nullopt when accepted, else the
// refusal message ("Cannot compare type Some(Int) from constraint ... using operator '>='").
std::optional<std::string> check_comparison(const Constraint& lhs, const Constraint& rhs, CmpType op);

}  // namespace norbe::core
