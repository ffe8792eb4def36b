// libFuzzer target: the constraint tree of src/core. The input is a program
// that builds trees (random shapes, deep chains, versions parsed from the
// input), copies, moves, grafts, prints, type-checks and releases them.
//
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     fuzz/constraint_fuzzer.cpp
//     src/core/{constraint,option_value,float_text,version,escape,unicode_tables}.cpp
//
// The walker under test serves copy and text (explicit stack) and release
// (links kept in the tree being released); the reference is a plain recursive
// printer and the sanitizers.
//
// Invariants:
//   - nothing crashes, leaks or touches freed memory (the sanitizers), with
//     the node pool on or off;
//   - the text of a tree equals a recursive reference printer's;
//   - a copy has the same text as its original, also after the original
//     changed or died; a moved-from constraint is empty;
//   - the comparison check accepts exactly the pairs the type rules allow;
//   - running out of memory in the middle of a copy, an assignment or a text
//     throws std::bad_alloc, leaks nothing (LeakSanitizer) and leaves the
//     source and the target as they were.
#include <fuzzer/FuzzedDataProvider.h>
#include <pthread.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/constraint.hpp"
#include "core/float_text.hpp"
#include "core/version.hpp"

// Allocation failure injection: the module's test hook
// (src/process/fault_injection.cpp, linked in) replaces operator new; the
// program arms it around the operations under test, and the libFuzzer driver
// allocates only while it is disarmed. The replacement takes its memory from
// malloc, while the runtime's own operator new may hand a block to code that
// frees it through the replaced delete: the pairing check is off for that
// reason alone.
extern "C" const char* __asan_default_options() {
  return "alloc_dealloc_mismatch=0";
}
extern "C" long norbe_fault_injection_arm(long countdown, int sticky);

namespace {

using namespace norbe::core;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

#define CHECK(condition)                \
  do {                                  \
    if (!(condition)) fail(#condition); \
  } while (0)

constexpr std::size_t kSlots = 6;
// Deeper than this the reference printer (which recurses) is not used.
constexpr std::size_t kReferenceDepth = 200;
// Trees larger than this are not copied again, so that repeated copying
// cannot grow the trees without bound.
constexpr std::size_t kCopyNodes = 20000;

// The text form, written recursively from the rules (limited depth).
void reference_text(std::string& out, const Constraint& c) {
  if (c.empty()) return;
  switch (c.kind()) {
    case ConstraintKind::Cmp: {
      const auto& n = c.as<CmpNode>();
      out += "[ ";
      reference_text(out, n.lhs);
      out += " ] ";
      out += cmp_symbol(n.op);
      out += " [ ";
      reference_text(out, n.rhs);
      out += " ]";
      return;
    }
    case ConstraintKind::Depends:
      out += "Depends( ";
      out += c.as<DependsNode>().on.view();
      out += " )";
      return;
    case ConstraintKind::IfThen:
      out += "If( ";
      reference_text(out, c.as<IfThenNode>().cond);
      out += " ) Then [ ";
      reference_text(out, c.as<IfThenNode>().then);
      out += " ]";
      return;
    case ConstraintKind::Maximize:
    case ConstraintKind::Minimize:
      out += c.kind() == ConstraintKind::Maximize ? "Maximize( " : "Minimize( ";
      reference_text(
          out, c.kind() == ConstraintKind::Maximize ? c.as<MaximizeNode>().item : c.as<MinimizeNode>().item);
      out += " )";
      return;
    case ConstraintKind::NumOf: {
      out += "NumOf( ";
      const auto& of = c.as<NumOfNode>().of;
      for (std::size_t i = 0; i < of.size(); ++i) {
        if (i != 0) out += ", ";
        reference_text(out, of[i]);
      }
      out += " )";
      return;
    }
    case ConstraintKind::SpecOption: {
      const auto& n = c.as<SpecOptionNode>();
      out += "Package '";
      out += n.package_name.view();
      out += "' -> Option '";
      out += n.option_name.view();
      out += "'";
      return;
    }
    case ConstraintKind::Value: {
      const SpecOptionValue& v = c.as<ValueNode>().value;
      switch (kind_of(v)) {
        case OptionKind::Bool:
          out += std::get<bool>(v) ? "true" : "false";
          return;
        case OptionKind::Int:
          out += std::to_string(std::get<std::int64_t>(v));
          return;
        case OptionKind::Float: {
          std::string text;
          append_float_text(text, std::get<double>(v));
          const double x = std::get<double>(v);
          if (std::isnan(x)) {
            CHECK(text == "NaN");
          } else if (std::isinf(x)) {
            CHECK(text == (x > 0 ? "inf" : "-inf"));
          } else {
            CHECK(text.find_first_of("eE") == std::string::npos);
            CHECK(std::strtod(text.c_str(), nullptr) == x);
            CHECK(std::signbit(x) == (text[0] == '-'));
          }
          out += text;
          return;
        }
        case OptionKind::Str:
          out += std::get<InlineString>(v).view();
          return;
        case OptionKind::Version:
          out += std::get<Version>(v).text();
          return;
      }
    }
  }
}

struct Shape {
  std::size_t depth = 0;
  std::size_t nodes = 0;
};

// Iterative and bounded: stops once the depth or the node count passes its limit.
Shape shape_of(const Constraint& c, std::size_t depth_limit, std::size_t node_limit) {
  struct Item {
    const Constraint* c;
    std::size_t depth;
  };
  std::vector<Item> work{{&c, 1}};
  Shape shape;
  while (!work.empty()) {
    const Item item = work.back();
    work.pop_back();
    if (item.c->empty()) continue;
    shape.depth = std::max(shape.depth, item.depth);
    if (shape.depth > depth_limit || ++shape.nodes > node_limit) return shape;
    const std::size_t d = item.depth + 1;
    switch (item.c->kind()) {
      case ConstraintKind::Cmp:
        work.push_back({&item.c->as<CmpNode>().lhs, d});
        work.push_back({&item.c->as<CmpNode>().rhs, d});
        break;
      case ConstraintKind::IfThen:
        work.push_back({&item.c->as<IfThenNode>().cond, d});
        work.push_back({&item.c->as<IfThenNode>().then, d});
        break;
      case ConstraintKind::Maximize:
        work.push_back({&item.c->as<MaximizeNode>().item, d});
        break;
      case ConstraintKind::Minimize:
        work.push_back({&item.c->as<MinimizeNode>().item, d});
        break;
      case ConstraintKind::NumOf:
        for (const Constraint& e : item.c->as<NumOfNode>().of) work.push_back({&e, d});
        break;
      default:
        break;
    }
  }
  return shape;
}

bool small(const Constraint& c) {
  return shape_of(c, SIZE_MAX, kCopyNodes).nodes <= kCopyNodes;
}

void check_text(const Constraint& c) {
  const std::string text = constraint_text(c);
  std::string appended = "prefix";
  append_constraint_text(appended, c);
  CHECK(appended == "prefix" + text);
  if (shape_of(c, kReferenceDepth, SIZE_MAX).depth <= kReferenceDepth) {
    std::string expected;
    reference_text(expected, c);
    CHECK(text == expected);
  }
}

std::optional<ValueType> reference_type(const Constraint& c) {
  if (c.empty()) return std::nullopt;
  switch (c.kind()) {
    case ConstraintKind::Cmp:
    case ConstraintKind::Depends:
      return ValueType::Bool;
    case ConstraintKind::NumOf:
      return ValueType::Int;
    case ConstraintKind::SpecOption:
      return ValueType::Unknown;
    case ConstraintKind::Value:
      switch (kind_of(c.as<ValueNode>().value)) {
        case OptionKind::Bool:
          return ValueType::Bool;
        case OptionKind::Int:
          return ValueType::Int;
        case OptionKind::Float:
          return ValueType::Float;
        case OptionKind::Str:
          return ValueType::Str;
        case OptionKind::Version:
          return ValueType::Version;
      }
      break;
    default:
      break;
  }
  return std::nullopt;
}

class Program {
 public:
  explicit Program(FuzzedDataProvider& input) : in_(input) {}

  void run() {
    while (in_.remaining_bytes() > 0) step();
    for (Constraint& slot : slots_) check_text(slot);
  }

 private:
  Constraint& slot() { return slots_[in_.ConsumeIntegralInRange<std::size_t>(0, kSlots - 1)]; }

  std::string text() { return in_.ConsumeRandomLengthString(24); }

  SpecOptionValue value() {
    switch (in_.ConsumeIntegralInRange(0, 4)) {
      case 0:
        return SpecOptionValue(in_.ConsumeBool());
      case 1:
        return SpecOptionValue(in_.ConsumeIntegral<std::int64_t>());
      case 2: {
        // Raw bits: NaNs, infinities, subnormals and negative zero included.
        const auto bits = in_.ConsumeIntegral<std::uint64_t>();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        return SpecOptionValue(x);
      }
      case 3:
        return SpecOptionValue(text());
      default: {
        auto parsed = parse_version(text());
        if (auto* v = std::get_if<Version>(&parsed)) return SpecOptionValue(std::move(*v));
        return SpecOptionValue(std::string("1.2"));
      }
    }
  }

  // A random tree, built recursively within a node budget.
  Constraint tree(int depth) {
    const int choice = depth <= 0 ? in_.ConsumeIntegralInRange(1, 3) : in_.ConsumeIntegralInRange(0, 8);
    switch (choice) {
      case 0: {
        Constraint lhs = tree(depth - 1);
        Constraint rhs = tree(depth - 1);
        return Constraint(
            CmpNode{.op = static_cast<CmpType>(in_.ConsumeIntegralInRange(0, 5)), .lhs = std::move(lhs), .rhs = std::move(rhs)});
      }
      case 1:
        return Constraint(DependsNode{.on = text()});
      case 2: {
        std::string package = text();
        return Constraint(SpecOptionNode{.package_name = std::move(package), .option_name = text()});
      }
      case 3:
        return Constraint(ValueNode{.value = value()});
      case 4: {
        Constraint cond = tree(depth - 1);
        return Constraint(IfThenNode{.cond = std::move(cond), .then = tree(depth - 1)});
      }
      case 5:
        return Constraint(MaximizeNode{.item = tree(depth - 1)});
      case 6:
        return Constraint(MinimizeNode{.item = tree(depth - 1)});
      case 7: {
        ConstraintList of;
        const int n = in_.ConsumeIntegralInRange(0, 5);
        for (int i = 0; i < n && in_.remaining_bytes() > 0; ++i) of.push_back(tree(depth - 1));
        return Constraint(NumOfNode{.of = std::move(of)});
      }
      default: {
        // A copy of a slot as a subtree.
        const Constraint& from = slot();
        if (small(from)) return Constraint(from);
        return Constraint(DependsNode{.on = "big"});
      }
    }
  }

  // A chain far deeper than any recursive walk would survive.
  Constraint chain() {
    // One deep chain per input at most: they are slow under the sanitizers.
    const bool deep = !deep_done_ && in_.ConsumeIntegralInRange(0, 15) == 0;
    deep_done_ = deep_done_ || deep;
    const auto length = deep ? in_.ConsumeIntegralInRange<std::size_t>(1500, 4000)
                             : in_.ConsumeIntegralInRange<std::size_t>(1, 64);
    Constraint c(DependsNode{.on = "leaf"});
    for (std::size_t i = 0; i < length; ++i) {
      switch (i % 4) {
        case 0:
          c = Constraint(MaximizeNode{.item = std::move(c)});
          break;
        case 1:
          c = Constraint(IfThenNode{.cond = Constraint(ValueNode{.value = SpecOptionValue(true)}), .then = std::move(c)});
          break;
        case 2: {
          ConstraintList of;
          of.push_back(std::move(c));
          of.push_back(Constraint(DependsNode{.on = "x"}));
          c = Constraint(NumOfNode{.of = std::move(of)});
          break;
        }
        default:
          c = Constraint(CmpNode{.op = CmpType::Equal, .lhs = std::move(c), .rhs = Constraint(MinimizeNode{.item = Constraint()})});
          break;
      }
    }
    return c;
  }

  // A child slot of the node, if it has one, to write: a node (or a NumOf's
  // block) shared with other trees is copied first.
  Constraint* child(Constraint& c) {
    if (c.empty()) return nullptr;
    switch (c.kind()) {
      case ConstraintKind::Cmp: {
        CmpNode& node = c.mutate<CmpNode>();
        return in_.ConsumeBool() ? &node.lhs : &node.rhs;
      }
      case ConstraintKind::IfThen: {
        IfThenNode& node = c.mutate<IfThenNode>();
        return in_.ConsumeBool() ? &node.cond : &node.then;
      }
      case ConstraintKind::Maximize:
        return &c.mutate<MaximizeNode>().item;
      case ConstraintKind::Minimize:
        return &c.mutate<MinimizeNode>().item;
      case ConstraintKind::NumOf: {
        if (c.as<NumOfNode>().of.empty()) return nullptr;
        const std::span<Constraint> of = c.mutate<NumOfNode>().of.mutate();
        return &of[in_.ConsumeIntegralInRange<std::size_t>(0, of.size() - 1)];
      }
      default:
        return nullptr;
    }
  }

  // A node somewhere down the tree (possibly the root itself).
  Constraint* descend(Constraint& root) {
    Constraint* at = &root;
    while (in_.ConsumeBool()) {
      Constraint* next = child(*at);
      if (next == nullptr) break;
      at = next;
    }
    return at;
  }

  void step() {
    switch (in_.ConsumeIntegralInRange(0, 12)) {
      case 0:
        slot() = tree(in_.ConsumeIntegralInRange(0, 8));
        break;
      case 1:
        slot() = chain();
        break;
      case 2: {  // copy assignment, then the original changes
        Constraint& from = slot();
        Constraint& to = slot();
        if (!small(from)) break;
        to = from;
        const std::string text = constraint_text(to);
        CHECK(constraint_text(from) == text);
        if (&from != &to) {
          from = Constraint(DependsNode{.on = "changed"});
          CHECK(constraint_text(to) == text);
        }
        break;
      }
      case 3: {  // a copy outlives its original
        std::optional<Constraint> original(tree(3));
        const std::string text = constraint_text(*original);
        Constraint copy(*original);
        original.reset();
        CHECK(constraint_text(copy) == text);
        slot() = std::move(copy);
        CHECK(copy.empty());
        break;
      }
      case 4: {  // move between slots (possibly the same one)
        Constraint& from = slot();
        Constraint& to = slot();
        const std::string text = constraint_text(from);
        to = std::move(from);
        CHECK(constraint_text(to) == text);
        break;
      }
      case 5: {  // replace a tree with one of its own subtrees
        Constraint& root = slot();
        Constraint* inner = descend(root);
        const std::string text = constraint_text(*inner);
        root = std::move(*inner);
        CHECK(constraint_text(root) == text);
        break;
      }
      case 6: {  // graft a copy of a tree below a node of (maybe) the same tree
        // The copy is made before the slot is opened for writing (a slot of
        // a node must not receive a copy that shares that node).
        const Constraint& from = slot();
        if (!small(from)) break;
        Constraint copy(from);
        Constraint& root = slot();
        // Every other tree keeps its text, whatever nodes it shared with this one.
        std::vector<std::string> others;
        for (const Constraint& c : slots_)
          others.push_back(&c == &root || !small(c) ? "" : constraint_text(c));
        Constraint* at = descend(root);
        if (Constraint* target = child(*at)) *target = std::move(copy);
        for (std::size_t i = 0; i < kSlots; ++i) {
          if (&slots_[i] != &root && small(slots_[i])) CHECK(constraint_text(slots_[i]) == others[i]);
        }
        break;
      }
      case 7: {  // the comparison check against the type rules
        const Constraint& lhs = slot();
        const Constraint& rhs = slot();
        const auto op = static_cast<CmpType>(in_.ConsumeIntegralInRange(0, 5));
        const auto lt = reference_type(lhs);
        const auto rt = reference_type(rhs);
        CHECK(value_type_of(lhs) == lt);
        const bool accepted = lt && rt && *lt == *rt &&
                              (*lt != ValueType::Bool || op == CmpType::Equal || op == CmpType::NotEqual);
        const auto refusal = check_comparison(lhs, rhs, op);
        CHECK(refusal.has_value() != accepted);
        if (refusal) {
          CHECK(refusal->rfind("Cannot compare type ", 0) == 0);
          const std::string tail = std::string(" using operator '") + std::string(cmp_symbol(op)) + "'";
          CHECK(refusal->size() >= tail.size() &&
                refusal->compare(refusal->size() - tail.size(), tail.size(), tail) == 0);
        }
        break;
      }
      case 8: {  // take a node's payload out and wrap it again
        Constraint& c = slot();
        if (c.empty()) break;
        const std::string text = constraint_text(c);
        switch (c.kind()) {
          case ConstraintKind::NumOf: {
            NumOfNode node = std::move(c.mutate<NumOfNode>());
            c = Constraint(std::move(node));
            break;
          }
          case ConstraintKind::Cmp: {
            CmpNode node = std::move(c.mutate<CmpNode>());
            c = Constraint(std::move(node));
            break;
          }
          default:
            c = Constraint(c);  // a copy replaces the original
            break;
        }
        CHECK(constraint_text(c) == text);
        break;
      }
      case 9: {  // a NumOf of copies of every slot
        ConstraintList of;
        for (const Constraint& c : slots_) {
          if (small(c)) of.push_back(c);
        }
        slot() = Constraint(NumOfNode{.of = std::move(of)});
        break;
      }
      case 10: {
        Constraint& c = slot();
        const Constraint& alias = c;
        c = alias;  // self copy-assignment
        check_text(c);
        break;
      }
      case 11: {  // memory runs out after n allocations
        Constraint& from = slot();
        Constraint& to = slot();
        if (!small(from)) break;
        const std::string from_text = constraint_text(from);
        const std::string to_text = constraint_text(to);
        const int what = in_.ConsumeIntegralInRange(0, 2);
        norbe_fault_injection_arm(in_.ConsumeIntegralInRange<long>(0, 64), /*sticky=*/1);
        bool failed = false;
        try {
          switch (what) {
            case 0: {
              Constraint copy(from);
              break;
            }
            case 1:
              to = from;
              break;
            default:
              (void)constraint_text(from);
              break;
          }
        } catch (const std::bad_alloc&) {
          failed = true;
        }
        norbe_fault_injection_arm(-1, 0);
        CHECK(constraint_text(from) == from_text);
        // A failed assignment leaves the target untouched.
        if (what == 1 && &from != &to) CHECK(constraint_text(to) == (failed ? to_text : from_text));
        break;
      }
      default: {
        const int op = in_.ConsumeIntegral<int>();
        const auto mapped = cmp_type_from_operator(op);
        CHECK(mapped.has_value() == (op >= 0 && op <= 5));
        if (mapped) {
          constexpr std::array<std::string_view, 6> symbols{"<", "<=", "==", "!=", ">", ">="};
          CHECK(cmp_symbol(*mapped) == symbols[static_cast<std::size_t>(op)]);
        }
        check_text(slot());
        break;
      }
    }
  }

  FuzzedDataProvider& in_;
  std::array<Constraint, kSlots> slots_;
  bool deep_done_ = false;
};

// Every input runs on a thread with a small stack: a walk that recursed once
// per level would overflow it on the deep chains.
constexpr std::size_t kStackSize = 256 * 1024;

struct Job {
  const std::uint8_t* data;
  std::size_t size;
};

void* run_job(void* argument) {
  const Job& job = *static_cast<const Job*>(argument);
  FuzzedDataProvider input(job.data, job.size);
  // Half the programs run with the node pool on: its poisoned free lists are
  // then under the address sanitizer's eye like the allocator's own blocks.
  node_pool_enabled = input.ConsumeBool();
  Program(input).run();
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Job job{data, size};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kStackSize);
  pthread_t thread;
  if (pthread_create(&thread, &attributes, run_job, &job) != 0) fail("pthread_create");
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  return 0;
}
