// The constraint tree: construction, copy, release, text and the comparison
// type check. Every walk over the tree is a loop, never a recursion, so the
// depth of a tree costs heap (or nothing) but no C stack.
#include "core/constraint.hpp"

#include <array>
#include <cstddef>

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
constexpr std::array<std::string_view, cmp_type_count> kCmpMiddles = {
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

  template <class Node>
  static Node* as(Owned owned) noexcept {
    return static_cast<Node*>(owned.node);
  }

  // A constraint whose release needs no walk: empty, a leaf, or a NumOf with
  // no entries. Destroying one never goes deeper than one nested call.
  static bool is_terminal(const Constraint& c) noexcept {
    if (c.node_ == nullptr) return true;
    switch (c.kind_) {
      case ConstraintKind::Depends:
      case ConstraintKind::SpecOption:
      case ConstraintKind::Value:
        return true;
      case ConstraintKind::NumOf:
        return static_cast<const NumOfNode*>(c.node_)->of.empty();
      default:
        return false;
    }
  }

  // The last child slot of a node that is not terminal.
  static Constraint& last_slot(Owned owned) noexcept {
    switch (owned.kind) {
      case ConstraintKind::Cmp:
        return as<CmpNode>(owned)->rhs;
      case ConstraintKind::IfThen:
        return as<IfThenNode>(owned)->then;
      case ConstraintKind::Maximize:
        return as<MaximizeNode>(owned)->item;
      case ConstraintKind::Minimize:
        return as<MinimizeNode>(owned)->item;
      default:
        return as<NumOfNode>(owned)->of.back();
    }
  }

  // Frees one node. Its child slots hold only terminal constraints by now.
  static void delete_node(Owned owned) noexcept {
    switch (owned.kind) {
      case ConstraintKind::Cmp:
        delete as<CmpNode>(owned);
        return;
      case ConstraintKind::Depends:
        delete as<DependsNode>(owned);
        return;
      case ConstraintKind::IfThen:
        delete as<IfThenNode>(owned);
        return;
      case ConstraintKind::Maximize:
        delete as<MaximizeNode>(owned);
        return;
      case ConstraintKind::Minimize:
        delete as<MinimizeNode>(owned);
        return;
      case ConstraintKind::NumOf:
        delete as<NumOfNode>(owned);
        return;
      case ConstraintKind::SpecOption:
        delete as<SpecOptionNode>(owned);
        return;
      case ConstraintKind::Value:
        delete as<ValueNode>(owned);
        return;
    }
  }

  // Hangs `cur` below its child `child` (taken from `slot` of cur): cur takes
  // over the child's last subtree in `slot` and becomes the child's last
  // subtree itself. The tree keeps its nodes but gains one level on its
  // last-slot spine, which bounds the number of rotations by the node count.
  static Owned rotate(Owned cur, Constraint& slot) noexcept {
    const Owned child = detach(slot);
    Constraint& child_last = last_slot(child);
    attach(slot, detach(child_last));
    attach(child_last, cur);
    return child;
  }

  // Releases a whole tree in linear time with no work list and no recursion:
  // a node with at most one non-terminal child is freed and the walk moves
  // into that child; a node with more is rotated below its first one. Nothing
  // here allocates, so nothing here can fail.
  static void release(Owned cur) noexcept {
    for (;;) {
      Constraint* next = nullptr;
      switch (cur.kind) {
        case ConstraintKind::Depends:
        case ConstraintKind::SpecOption:
        case ConstraintKind::Value:
          break;
        case ConstraintKind::Maximize:
        case ConstraintKind::Minimize: {
          Constraint& item = last_slot(cur);
          if (!is_terminal(item)) next = &item;
          break;
        }
        case ConstraintKind::Cmp:
        case ConstraintKind::IfThen: {
          Constraint& first =
              cur.kind == ConstraintKind::Cmp ? as<CmpNode>(cur)->lhs : as<IfThenNode>(cur)->cond;
          Constraint& second = last_slot(cur);
          const bool first_terminal = is_terminal(first);
          const bool second_terminal = is_terminal(second);
          if (!first_terminal && !second_terminal) {
            cur = rotate(cur, first);
            continue;
          }
          if (!first_terminal) next = &first;
          if (!second_terminal) next = &second;
          break;
        }
        case ConstraintKind::NumOf: {
          // Entries are consumed from the back; their order does not matter
          // here. Terminal entries are dropped until the last two are not.
          std::vector<Constraint>& of = as<NumOfNode>(cur)->of;
          for (;;) {
            while (!of.empty() && is_terminal(of.back())) of.pop_back();
            if (of.size() < 2 || !is_terminal(of[of.size() - 2])) break;
            of[of.size() - 2] = std::move(of.back());
            of.pop_back();
          }
          if (of.size() >= 2) {
            cur = rotate(cur, of[of.size() - 2]);
            continue;
          }
          if (!of.empty()) next = &of.front();
          break;
        }
      }
      if (next == nullptr) {
        delete_node(cur);
        return;
      }
      const Owned child = detach(*next);
      delete_node(cur);
      cur = child;
    }
  }

  // Releases a tree; a leaf holds no constraints and is freed at once,
  // without the walk.
  static void dispose(Owned owned) noexcept {
    switch (owned.kind) {
      case ConstraintKind::Depends:
      case ConstraintKind::SpecOption:
      case ConstraintKind::Value:
        delete_node(owned);
        return;
      default:
        release(owned);
    }
  }

  // Copies a terminal constraint into an empty slot.
  static void copy_terminal(const Constraint& src, Constraint& dst) {
    if (src.node_ == nullptr) return;
    switch (src.kind_) {
      case ConstraintKind::Depends:
        attach(dst, {src.kind_, new DependsNode(src.as<DependsNode>())});
        return;
      case ConstraintKind::SpecOption:
        attach(dst, {src.kind_, new SpecOptionNode(src.as<SpecOptionNode>())});
        return;
      case ConstraintKind::Value:
        attach(dst, {src.kind_, new ValueNode(src.as<ValueNode>())});
        return;
      default:
        attach(dst, {src.kind_, new NumOfNode()});
        return;
    }
  }

  // Copies src into the empty dst. Each node is hung into its slot as soon
  // as it exists, with empty child slots, so dst is a complete tree at every
  // step: if an allocation fails, destroying dst frees all that was copied.
  static void copy(const Constraint& src, Constraint& dst) {
    struct Task {
      const Constraint* src;
      Constraint* dst;
    };
    SmallStack<Task, 32> work;
    // Only subtrees that need their own walk go on the work list; terminal
    // children are copied on the spot and one child is walked into directly.
    auto defer = [&work](const Constraint& s, Constraint& d) {
      if (is_terminal(s)) {
        copy_terminal(s, d);
      } else {
        work.push({&s, &d});
      }
    };

    const Constraint* s = &src;
    Constraint* d = &dst;
    for (;;) {
      const Constraint* next_src = nullptr;
      Constraint* next_dst = nullptr;
      if (is_terminal(*s)) {
        copy_terminal(*s, *d);
      } else {
        switch (s->kind_) {
          case ConstraintKind::Cmp: {
            const CmpNode& from = s->as<CmpNode>();
            auto* to = new CmpNode{Constraint(), Constraint(), from.op};
            attach(*d, {ConstraintKind::Cmp, to});
            defer(from.rhs, to->rhs);
            next_src = &from.lhs;
            next_dst = &to->lhs;
            break;
          }
          case ConstraintKind::IfThen: {
            const IfThenNode& from = s->as<IfThenNode>();
            auto* to = new IfThenNode();
            attach(*d, {ConstraintKind::IfThen, to});
            defer(from.then, to->then);
            next_src = &from.cond;
            next_dst = &to->cond;
            break;
          }
          case ConstraintKind::Maximize: {
            auto* to = new MaximizeNode();
            attach(*d, {ConstraintKind::Maximize, to});
            next_src = &s->as<MaximizeNode>().item;
            next_dst = &to->item;
            break;
          }
          case ConstraintKind::Minimize: {
            auto* to = new MinimizeNode();
            attach(*d, {ConstraintKind::Minimize, to});
            next_src = &s->as<MinimizeNode>().item;
            next_dst = &to->item;
            break;
          }
          default: {  // NumOf with entries
            const std::vector<Constraint>& from = s->as<NumOfNode>().of;
            auto* to = new NumOfNode();
            attach(*d, {ConstraintKind::NumOf, to});
            // The entries never move again once sized, so their slots can be
            // handed to the work list.
            to->of.resize(from.size());
            for (std::size_t i = from.size() - 1; i > 0; --i) defer(from[i], to->of[i]);
            next_src = &from.front();
            next_dst = &to->of.front();
            break;
          }
        }
      }
      if (next_src != nullptr) {
        s = next_src;
        d = next_dst;
      } else if (!work.empty()) {
        const Task task = work.pop();
        s = task.src;
        d = task.dst;
      } else {
        return;
      }
    }
  }

  static void append_text(std::string& out, const Constraint& root) {
    // Pending output: a node to print, a literal, or the NumOf entries from
    // an index on.
    enum class Tag : std::uint8_t { Node, Literal, Entries };
    struct Task {
      Tag tag;
      std::size_t size;  // literal length or next entry index
      const void* ptr;
    };
    auto literal = [](std::string_view text) { return Task{Tag::Literal, text.size(), text.data()}; };
    SmallStack<Task, 32> work;

    const Constraint* cur = &root;
    for (;;) {
      if (cur != nullptr && cur->node_ != nullptr) {
        const Constraint* next = nullptr;
        switch (cur->kind_) {
          case ConstraintKind::Cmp: {
            const CmpNode& node = cur->as<CmpNode>();
            out += "[ ";
            work.push(literal(" ]"));
            work.push({Tag::Node, 0, &node.rhs});
            work.push(literal(kCmpMiddles[cmp_index(node.op)]));
            next = &node.lhs;
            break;
          }
          case ConstraintKind::Depends:
            out += "Depends( ";
            out += cur->as<DependsNode>().on;
            out += " )";
            break;
          case ConstraintKind::IfThen: {
            const IfThenNode& node = cur->as<IfThenNode>();
            out += "If( ";
            work.push(literal(" ]"));
            work.push({Tag::Node, 0, &node.then});
            work.push(literal(" ) Then [ "));
            next = &node.cond;
            break;
          }
          case ConstraintKind::Maximize:
            out += "Maximize( ";
            work.push(literal(" )"));
            next = &cur->as<MaximizeNode>().item;
            break;
          case ConstraintKind::Minimize:
            out += "Minimize( ";
            work.push(literal(" )"));
            next = &cur->as<MinimizeNode>().item;
            break;
          case ConstraintKind::NumOf: {
            const NumOfNode& node = cur->as<NumOfNode>();
            out += "NumOf( ";
            if (node.of.empty()) {
              out += " )";
            } else {
              work.push({Tag::Entries, 1, &node});
              next = &node.of.front();
            }
            break;
          }
          case ConstraintKind::SpecOption: {
            const SpecOptionNode& node = cur->as<SpecOptionNode>();
            append_spec_option_text(out, node.package_name, node.option_name);
            break;
          }
          case ConstraintKind::Value:
            append_option_text(out, cur->as<ValueNode>().value);
            break;
        }
        cur = next;
        continue;
      }
      if (work.empty()) return;
      const Task task = work.pop();
      switch (task.tag) {
        case Tag::Node:
          cur = static_cast<const Constraint*>(task.ptr);
          break;
        case Tag::Literal:
          out.append(static_cast<const char*>(task.ptr), task.size);
          break;
        case Tag::Entries: {
          const auto& of = static_cast<const NumOfNode*>(task.ptr)->of;
          if (task.size == of.size()) {
            out += " )";
          } else {
            out += ", ";
            work.push({Tag::Entries, task.size + 1, task.ptr});
            cur = &of[task.size];
          }
          break;
        }
      }
    }
  }
};

Constraint::Constraint(CmpNode node) : kind_(ConstraintKind::Cmp), node_(new CmpNode(std::move(node))) {}
Constraint::Constraint(DependsNode node)
    : kind_(ConstraintKind::Depends), node_(new DependsNode(std::move(node))) {}
Constraint::Constraint(IfThenNode node)
    : kind_(ConstraintKind::IfThen), node_(new IfThenNode(std::move(node))) {}
Constraint::Constraint(MaximizeNode node)
    : kind_(ConstraintKind::Maximize), node_(new MaximizeNode(std::move(node))) {}
Constraint::Constraint(MinimizeNode node)
    : kind_(ConstraintKind::Minimize), node_(new MinimizeNode(std::move(node))) {}
Constraint::Constraint(NumOfNode node)
    : kind_(ConstraintKind::NumOf), node_(new NumOfNode(std::move(node))) {}
Constraint::Constraint(SpecOptionNode node)
    : kind_(ConstraintKind::SpecOption), node_(new SpecOptionNode(std::move(node))) {}
Constraint::Constraint(ValueNode node)
    : kind_(ConstraintKind::Value), node_(new ValueNode(std::move(node))) {}

Constraint::Constraint(const Constraint& other) {
  if (ConstraintAccess::is_terminal(other)) {
    // One node (or none): nothing to walk.
    ConstraintAccess::copy_terminal(other, *this);
    return;
  }
  // Built in a local so that a failed copy is released by its destructor.
  Constraint copy;
  ConstraintAccess::copy(other, copy);
  kind_ = copy.kind_;
  node_ = std::exchange(copy.node_, nullptr);
}

Constraint& Constraint::operator=(const Constraint& other) {
  Constraint copy(other);
  std::swap(kind_, copy.kind_);
  std::swap(node_, copy.node_);
  return *this;
}

Constraint& Constraint::operator=(Constraint&& other) noexcept {
  if (this != &other) {
    // Detach first: other may live inside the tree being released.
    const ConstraintKind old_kind = kind_;
    void* const old_node = node_;
    kind_ = other.kind_;
    node_ = std::exchange(other.node_, nullptr);
    if (old_node != nullptr) ConstraintAccess::dispose({old_kind, old_node});
  }
  return *this;
}

Constraint::~Constraint() {
  if (node_ != nullptr) ConstraintAccess::dispose({kind_, node_});
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

std::string_view cmp_type_name(CmpType op) {
  return kCmpNames[cmp_index(op)];
}

std::optional<ValueType> value_type_of(const Constraint& constraint) {
  if (constraint.empty()) return std::nullopt;
  switch (constraint.kind()) {
    case ConstraintKind::Cmp:
    case ConstraintKind::Depends:
      return ValueType::Bool;
    case ConstraintKind::NumOf:
      return ValueType::Int;
    case ConstraintKind::SpecOption:
      return ValueType::Unknown;
    case ConstraintKind::Value:
      // The value types follow Unknown in the order of the option kinds.
      return static_cast<ValueType>(static_cast<int>(kind_of(constraint.as<ValueNode>().value)) + 1);
    default:
      return std::nullopt;
  }
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

void append_spec_option_text(std::string& out, std::string_view package_name, std::string_view option_name) {
  out.reserve(out.size() + 21 + package_name.size() + option_name.size());
  out += "Package '";
  out += package_name;
  out += "' -> Option '";
  out += option_name;
  out += '\'';
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
