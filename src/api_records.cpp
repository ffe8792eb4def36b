// API description records: one exported data symbol per module, class and
// function of the Python API, for stub generators and other tools that read
// the shared object without importing it. Nothing reads them at run time.
//
// Each symbol norbe_api_record_<id with "." replaced by "_"> holds a 32-bit
// little-endian byte count followed by that many bytes of JSON (tools/
// api_records.py reads them and generates the type stubs). A record has the keys
//
//   "type"        "module", "class" or "function"
//   "id"          the dotted path of the object (a property setter adds
//                 ".setter"); unique among all records
//   "name"        the attribute name under which the parent holds it
//   "parent"      the id of the module or class that holds it (null for the
//                 top-level module)
//   "members"     modules and classes: the ids of their members' records; for
//                 a module in the order it attaches them (its __all__)
//   "incomplete"  modules: whether members lists only part of the module
//   "decorators"  classes and functions: "typing.final" for a class that
//                 cannot be subclassed; "property" and "<name>.setter" for
//                 the two halves of a property; "classattr" for a class
//                 attribute holding a fixed object of the type "returns"
//   "arguments"   functions: {"posonlyargs", "args", "kwarg"}, each argument
//                 {"name", "annotation", "default"}, annotations and defaults
//                 as Python expressions (null when absent); dotted names in
//                 annotations are fully qualified
//   "returns"     functions: the annotation of the result
//
// The records describe exactly what lib.cpp registers and what the classes'
// slots, methods and properties accept and return.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace norbe {
namespace {

// The byte count (little-endian, computed here) followed by the JSON text
// without its terminating NUL.
template <std::size_t N>
consteval std::array<unsigned char, N + 3> api_record(const char (&json)[N]) {
  static_assert(N - 1 <= UINT32_MAX);
  std::array<unsigned char, N + 3> record{};
  const auto size = static_cast<std::uint32_t>(N - 1);
  for (std::size_t i = 0; i < 4; ++i) record[i] = static_cast<unsigned char>(size >> (8 * i));
  for (std::size_t i = 0; i + 1 < N; ++i) record[4 + i] = static_cast<unsigned char>(json[i]);
  return record;
}

}  // namespace
}  // namespace norbe

// clang-format off

#define NORBE_API_RECORD(SYMBOL, JSON)                                         \
  extern "C" Py_EXPORTED_SYMBOL constexpr auto                                 \
      norbe_api_record_##SYMBOL = norbe::api_record(JSON);

// Annotations shared by many records.

// What a constraint slot holds when read back (constraint_to_object).
#define NORBE_CONSTRAINT                                                       \
  "norbe.package.constraint.Cmp | norbe.package.constraint.Depends | "         \
  "norbe.package.constraint.IfThen | norbe.package.constraint.Maximize | "     \
  "norbe.package.constraint.Minimize | norbe.package.constraint.NumOf | "      \
  "norbe.package.constraint.SpecOption | norbe.package.constraint.Value"
// What an option value accepts and reads back as.
#define NORBE_OPTION_VALUE "bool | int | float | str | norbe.package.version.Version"
// What a constraint slot accepts (constraint_from_object).
#define NORBE_CONSTRAINT_LIKE NORBE_CONSTRAINT " | " NORBE_OPTION_VALUE
// What a constraint list accepts (constraint_list_from_object).
#define NORBE_CONSTRAINT_SEQUENCE "collections.abc.Sequence[" NORBE_CONSTRAINT_LIKE "]"

#define NORBE_SELF R"({"name": "self", "annotation": null, "default": null})"
#define NORBE_CLS R"({"name": "cls", "annotation": null, "default": null})"

// A slot or method taking only the instance: `def NAME(self, /) -> RETURNS`.
#define NORBE_SLOT_METHOD(SYMBOL, CLASS_ID, NAME, RETURNS)                     \
  NORBE_API_RECORD(SYMBOL##_##NAME,                                            \
    R"({"type": "function", "id": ")" CLASS_ID "." #NAME R"(", "name": ")" #NAME R"(",)" \
    R"( "parent": ")" CLASS_ID R"(",)"                                         \
    R"( "arguments": {"posonlyargs": [)" NORBE_SELF R"(], "args": [], "kwarg": null},)" \
    R"( "decorators": [], "returns": ")" RETURNS R"("})")

// A rich comparison: `def NAME(self, rhs, /) -> Cmp`.
#define NORBE_COMPARISON(SYMBOL, CLASS_ID, NAME)                               \
  NORBE_API_RECORD(SYMBOL##_##NAME,                                            \
    R"({"type": "function", "id": ")" CLASS_ID "." #NAME R"(", "name": ")" #NAME R"(",)" \
    R"( "parent": ")" CLASS_ID R"(",)"                                         \
    R"( "arguments": {"posonlyargs": [)" NORBE_SELF R"(,)"                     \
    R"( {"name": "rhs", "annotation": ")" NORBE_CONSTRAINT_LIKE R"(", "default": null}],)" \
    R"( "args": [], "kwarg": null},)"                                          \
    R"( "decorators": [], "returns": "norbe.package.constraint.Cmp"})")

// The six operators of a class with a rich-comparison slot.
#define NORBE_COMPARISONS(SYMBOL, CLASS_ID)                                    \
  NORBE_COMPARISON(SYMBOL, CLASS_ID, __lt__)                                   \
  NORBE_COMPARISON(SYMBOL, CLASS_ID, __le__)                                   \
  NORBE_COMPARISON(SYMBOL, CLASS_ID, __eq__)                                   \
  NORBE_COMPARISON(SYMBOL, CLASS_ID, __ne__)                                   \
  NORBE_COMPARISON(SYMBOL, CLASS_ID, __gt__)                                   \
  NORBE_COMPARISON(SYMBOL, CLASS_ID, __ge__)

// The member ids that NORBE_COMPARISONS describes, for a class's "members".
#define NORBE_COMPARISON_IDS(CLASS_ID)                                         \
  "\"" CLASS_ID ".__lt__\", \"" CLASS_ID ".__le__\", \"" CLASS_ID ".__eq__\", " \
  "\"" CLASS_ID ".__ne__\", \"" CLASS_ID ".__gt__\", \"" CLASS_ID ".__ge__\""

// A property: its getter (returning GETS) and its setter (taking SETS).
#define NORBE_PROPERTY(SYMBOL, CLASS_ID, NAME, GETS, SETS)                     \
  NORBE_API_RECORD(SYMBOL##_##NAME,                                            \
    R"({"type": "function", "id": ")" CLASS_ID "." #NAME R"(", "name": ")" #NAME R"(",)" \
    R"( "parent": ")" CLASS_ID R"(",)"                                         \
    R"( "arguments": {"posonlyargs": [], "args": [)" NORBE_SELF R"(], "kwarg": null},)" \
    R"( "decorators": ["property"], "returns": ")" GETS R"("})")               \
  NORBE_API_RECORD(SYMBOL##_##NAME##_setter,                                   \
    R"({"type": "function", "id": ")" CLASS_ID "." #NAME R"(.setter", "name": ")" #NAME R"(",)" \
    R"( "parent": ")" CLASS_ID R"(",)"                                         \
    R"( "arguments": {"posonlyargs": [], "args": [)" NORBE_SELF R"(,)"         \
    R"( {"name": "value", "annotation": ")" SETS R"(", "default": null}], "kwarg": null},)" \
    R"( "decorators": [")" #NAME R"(.setter"], "returns": "None"})")

// The member ids that NORBE_PROPERTY describes.
#define NORBE_PROPERTY_IDS(CLASS_ID, NAME) "\"" CLASS_ID "." NAME "\", \"" CLASS_ID "." NAME ".setter\""

// A CmpType member: a class attribute holding a fixed CmpType object.
#define NORBE_CMP_TYPE_MEMBER(NAME)                                            \
  NORBE_API_RECORD(norbe_package_constraint_CmpType_##NAME,                    \
    R"({"type": "function", "id": "norbe.package.constraint.CmpType.)" #NAME R"(", "name": ")" #NAME R"(",)" \
    R"( "parent": "norbe.package.constraint.CmpType", "arguments": null,)"     \
    R"( "decorators": ["classattr"], "returns": "norbe.package.constraint.CmpType"})")

// ---------------------------------------------------------------- norbe

NORBE_API_RECORD(norbe, R"({"type": "module", "id": "norbe", "name": "norbe", "parent": null,
  "members": ["norbe.package", "norbe.init_tracing", "norbe.main_entry"],
  "incomplete": false})")

NORBE_API_RECORD(norbe_init_tracing, R"({"type": "function", "id": "norbe.init_tracing", "name": "init_tracing",
  "parent": "norbe",
  "arguments": {"posonlyargs": [], "args": [], "kwarg": null},
  "decorators": [], "returns": "None"})")

NORBE_API_RECORD(norbe_main_entry, R"({"type": "function", "id": "norbe.main_entry", "name": "main_entry",
  "parent": "norbe",
  "arguments": {"posonlyargs": [], "args": [], "kwarg": null},
  "decorators": [], "returns": "None"})")

// ---------------------------------------------------------------- norbe.package

NORBE_API_RECORD(norbe_package, R"({"type": "module", "id": "norbe.package", "name": "package", "parent": "norbe",
  "members": ["norbe.package.outline", "norbe.package.constraint", "norbe.package.version"],
  "incomplete": false})")

// ---------------------------------------------------------------- norbe.package.outline

NORBE_API_RECORD(norbe_package_outline, R"({"type": "module", "id": "norbe.package.outline", "name": "outline",
  "parent": "norbe.package",
  "members": ["norbe.package.outline.PackageOutline"],
  "incomplete": false})")

NORBE_API_RECORD(norbe_package_outline_PackageOutline, R"({"type": "class",
  "id": "norbe.package.outline.PackageOutline", "name": "PackageOutline", "parent": "norbe.package.outline",
  "members": ["norbe.package.outline.PackageOutline.__new__"],
  "decorators": ["typing.final"]})")

// Every extra keyword is refused with ValueError: no value fits it.
NORBE_API_RECORD(norbe_package_outline_PackageOutline___new__, R"({"type": "function",
  "id": "norbe.package.outline.PackageOutline.__new__", "name": "__new__",
  "parent": "norbe.package.outline.PackageOutline",
  "arguments": {"posonlyargs": [],
                "args": [)" NORBE_CLS R"(,
                         {"name": "name", "annotation": "str", "default": null},
                         {"name": "constraints", "annotation": ")" NORBE_CONSTRAINT_SEQUENCE R"( | None", "default": "None"},
                         {"name": "set_options", "annotation": "dict[str, )" NORBE_OPTION_VALUE R"(] | None", "default": "None"},
                         {"name": "set_defaults", "annotation": "dict[str, )" NORBE_OPTION_VALUE R"( | None] | None", "default": "None"}],
                "kwarg": {"name": "kwargs", "annotation": "typing.Never", "default": null}},
  "decorators": [], "returns": "typing.Self"})")

// ---------------------------------------------------------------- norbe.package.constraint

#define NORBE_CMP "norbe.package.constraint.Cmp"
#define NORBE_CMP_TYPE "norbe.package.constraint.CmpType"
#define NORBE_IF_THEN "norbe.package.constraint.IfThen"
#define NORBE_SPEC_OPTION "norbe.package.constraint.SpecOption"
#define NORBE_VALUE "norbe.package.constraint.Value"

// A constraint class of one field: its constructor takes PARAMETER (a
// TAKES), its property PROPERTY reads a GETS and takes a SETS.
#define NORBE_ONE_FIELD_CLASS(NAME, PARAMETER, TAKES, PROPERTY, GETS, SETS)                                                       \
  NORBE_API_RECORD(norbe_package_constraint_##NAME,                            \
    "{\"type\": \"class\",\n  \"id\": \"norbe.package.constraint." #NAME "\", \"name\": \"" #NAME "\"," \
    " \"parent\": \"norbe.package.constraint\",\n"                             \
    "  \"members\": [\"norbe.package.constraint." #NAME ".__new__\", "        \
    NORBE_PROPERTY_IDS("norbe.package.constraint." #NAME, #PROPERTY) ", "         \
    NORBE_COMPARISON_IDS("norbe.package.constraint." #NAME)                    \
    "],\n  \"decorators\": [\"typing.final\"]}")                              \
  NORBE_API_RECORD(norbe_package_constraint_##NAME##___new__,                  \
    "{\"type\": \"function\",\n"                                               \
    "  \"id\": \"norbe.package.constraint." #NAME ".__new__\", \"name\": \"__new__\",\n" \
    "  \"parent\": \"norbe.package.constraint." #NAME "\",\n"                  \
    "  \"arguments\": {\"posonlyargs\": [],\n"                                 \
    "                \"args\": [" NORBE_CLS ", {\"name\": \"" #PARAMETER "\", \"annotation\": \"" \
    TAKES "\", \"default\": null}],\n"                         \
    "                \"kwarg\": null},\n"                                      \
    "  \"decorators\": [], \"returns\": \"typing.Self\"}")                     \
  NORBE_PROPERTY(norbe_package_constraint_##NAME, "norbe.package.constraint." #NAME, PROPERTY, GETS, SETS)                      \
  NORBE_COMPARISONS(norbe_package_constraint_##NAME, "norbe.package.constraint." #NAME)

NORBE_API_RECORD(norbe_package_constraint, R"({"type": "module", "id": "norbe.package.constraint",
  "name": "constraint", "parent": "norbe.package",
  "members": ["norbe.package.constraint.Cmp", "norbe.package.constraint.CmpType",
              "norbe.package.constraint.Depends", "norbe.package.constraint.IfThen",
              "norbe.package.constraint.Maximize", "norbe.package.constraint.Minimize",
              "norbe.package.constraint.NumOf", "norbe.package.constraint.SpecOption",
              "norbe.package.constraint.Value"],
  "incomplete": false})")

// Cmp

NORBE_API_RECORD(norbe_package_constraint_Cmp, R"({"type": "class", "id": "norbe.package.constraint.Cmp",
  "name": "Cmp", "parent": "norbe.package.constraint",
  "members": ["norbe.package.constraint.Cmp.__new__", "norbe.package.constraint.Cmp.if_then", )"
  NORBE_PROPERTY_IDS(NORBE_CMP, "lhs") ", " NORBE_PROPERTY_IDS(NORBE_CMP, "rhs") ", "
  NORBE_PROPERTY_IDS(NORBE_CMP, "op") ", " NORBE_COMPARISON_IDS(NORBE_CMP) R"(],
  "decorators": ["typing.final"]})")

NORBE_API_RECORD(norbe_package_constraint_Cmp___new__, R"({"type": "function",
  "id": "norbe.package.constraint.Cmp.__new__", "name": "__new__", "parent": "norbe.package.constraint.Cmp",
  "arguments": {"posonlyargs": [],
                "args": [)" NORBE_CLS R"(,
                         {"name": "lhs", "annotation": ")" NORBE_CONSTRAINT_LIKE R"(", "default": null},
                         {"name": "rhs", "annotation": ")" NORBE_CONSTRAINT_LIKE R"(", "default": null},
                         {"name": "op", "annotation": "norbe.package.constraint.CmpType", "default": null}],
                "kwarg": null},
  "decorators": [], "returns": "typing.Self"})")

NORBE_API_RECORD(norbe_package_constraint_Cmp_if_then, R"({"type": "function",
  "id": "norbe.package.constraint.Cmp.if_then", "name": "if_then", "parent": "norbe.package.constraint.Cmp",
  "arguments": {"posonlyargs": [)" NORBE_SELF R"(],
                "args": [{"name": "then", "annotation": ")" NORBE_CONSTRAINT_LIKE R"(", "default": null}],
                "kwarg": null},
  "decorators": [], "returns": "norbe.package.constraint.IfThen"})")

NORBE_PROPERTY(norbe_package_constraint_Cmp, NORBE_CMP, lhs, NORBE_CONSTRAINT, NORBE_CONSTRAINT_LIKE)
NORBE_PROPERTY(norbe_package_constraint_Cmp, NORBE_CMP, rhs, NORBE_CONSTRAINT, NORBE_CONSTRAINT_LIKE)
NORBE_PROPERTY(norbe_package_constraint_Cmp, NORBE_CMP, op, NORBE_CMP_TYPE, NORBE_CMP_TYPE)
NORBE_COMPARISONS(norbe_package_constraint_Cmp, NORBE_CMP)

// CmpType

NORBE_API_RECORD(norbe_package_constraint_CmpType, R"({"type": "class",
  "id": "norbe.package.constraint.CmpType", "name": "CmpType", "parent": "norbe.package.constraint",
  "members": ["norbe.package.constraint.CmpType.Less", "norbe.package.constraint.CmpType.LessOrEqual",
              "norbe.package.constraint.CmpType.NotEqual", "norbe.package.constraint.CmpType.Equal",
              "norbe.package.constraint.CmpType.GreaterOrEqual", "norbe.package.constraint.CmpType.Greater",
              "norbe.package.constraint.CmpType.__int__", "norbe.package.constraint.CmpType.__repr__"],
  "decorators": ["typing.final"]})")

NORBE_CMP_TYPE_MEMBER(Less)
NORBE_CMP_TYPE_MEMBER(LessOrEqual)
NORBE_CMP_TYPE_MEMBER(NotEqual)
NORBE_CMP_TYPE_MEMBER(Equal)
NORBE_CMP_TYPE_MEMBER(GreaterOrEqual)
NORBE_CMP_TYPE_MEMBER(Greater)
NORBE_SLOT_METHOD(norbe_package_constraint_CmpType, NORBE_CMP_TYPE, __int__, "int")
NORBE_SLOT_METHOD(norbe_package_constraint_CmpType, NORBE_CMP_TYPE, __repr__, "str")

// Depends

NORBE_ONE_FIELD_CLASS(Depends, name, "str", on, "str", "str")

// IfThen

NORBE_API_RECORD(norbe_package_constraint_IfThen, R"({"type": "class",
  "id": "norbe.package.constraint.IfThen", "name": "IfThen", "parent": "norbe.package.constraint",
  "members": ["norbe.package.constraint.IfThen.__new__", )"
  NORBE_PROPERTY_IDS(NORBE_IF_THEN, "cond") ", " NORBE_PROPERTY_IDS(NORBE_IF_THEN, "then") ", "
  NORBE_COMPARISON_IDS(NORBE_IF_THEN) R"(],
  "decorators": ["typing.final"]})")

NORBE_API_RECORD(norbe_package_constraint_IfThen___new__, R"({"type": "function",
  "id": "norbe.package.constraint.IfThen.__new__", "name": "__new__",
  "parent": "norbe.package.constraint.IfThen",
  "arguments": {"posonlyargs": [],
                "args": [)" NORBE_CLS R"(,
                         {"name": "cond", "annotation": ")" NORBE_CONSTRAINT_LIKE R"(", "default": null},
                         {"name": "then", "annotation": ")" NORBE_CONSTRAINT_LIKE R"(", "default": null}],
                "kwarg": null},
  "decorators": [], "returns": "typing.Self"})")

NORBE_PROPERTY(norbe_package_constraint_IfThen, NORBE_IF_THEN, cond, NORBE_CONSTRAINT, NORBE_CONSTRAINT_LIKE)
NORBE_PROPERTY(norbe_package_constraint_IfThen, NORBE_IF_THEN, then, NORBE_CONSTRAINT, NORBE_CONSTRAINT_LIKE)
NORBE_COMPARISONS(norbe_package_constraint_IfThen, NORBE_IF_THEN)

// Maximize and Minimize: a goal over one constraint.

NORBE_ONE_FIELD_CLASS(Maximize, item, NORBE_CONSTRAINT_LIKE, item, NORBE_CONSTRAINT, NORBE_CONSTRAINT_LIKE)
NORBE_ONE_FIELD_CLASS(Minimize, item, NORBE_CONSTRAINT_LIKE, item, NORBE_CONSTRAINT, NORBE_CONSTRAINT_LIKE)

// NumOf

NORBE_ONE_FIELD_CLASS(NumOf, of, NORBE_CONSTRAINT_SEQUENCE, of, "list[" NORBE_CONSTRAINT "]",
                      NORBE_CONSTRAINT_SEQUENCE)

// SpecOption

NORBE_API_RECORD(norbe_package_constraint_SpecOption, R"({"type": "class",
  "id": "norbe.package.constraint.SpecOption", "name": "SpecOption", "parent": "norbe.package.constraint",
  "members": ["norbe.package.constraint.SpecOption.__new__", )"
  NORBE_PROPERTY_IDS(NORBE_SPEC_OPTION, "package_name") ", " NORBE_PROPERTY_IDS(NORBE_SPEC_OPTION, "option_name")
  ", " NORBE_COMPARISON_IDS(NORBE_SPEC_OPTION) R"(],
  "decorators": ["typing.final"]})")

NORBE_API_RECORD(norbe_package_constraint_SpecOption___new__, R"({"type": "function",
  "id": "norbe.package.constraint.SpecOption.__new__", "name": "__new__",
  "parent": "norbe.package.constraint.SpecOption",
  "arguments": {"posonlyargs": [],
                "args": [)" NORBE_CLS R"(,
                         {"name": "package_name", "annotation": "str", "default": null},
                         {"name": "option_name", "annotation": "str", "default": null}],
                "kwarg": null},
  "decorators": [], "returns": "typing.Self"})")

NORBE_PROPERTY(norbe_package_constraint_SpecOption, NORBE_SPEC_OPTION, package_name, "str", "str")
NORBE_PROPERTY(norbe_package_constraint_SpecOption, NORBE_SPEC_OPTION, option_name, "str", "str")
NORBE_COMPARISONS(norbe_package_constraint_SpecOption, NORBE_SPEC_OPTION)

// Value (no constructor: obtained by reading a slot that holds a constant)

NORBE_API_RECORD(norbe_package_constraint_Value, R"({"type": "class",
  "id": "norbe.package.constraint.Value", "name": "Value", "parent": "norbe.package.constraint",
  "members": [)" NORBE_PROPERTY_IDS(NORBE_VALUE, "value") ", " NORBE_COMPARISON_IDS(NORBE_VALUE) R"(],
  "decorators": ["typing.final"]})")

NORBE_PROPERTY(norbe_package_constraint_Value, NORBE_VALUE, value, NORBE_OPTION_VALUE, NORBE_OPTION_VALUE)
NORBE_COMPARISONS(norbe_package_constraint_Value, NORBE_VALUE)

// ---------------------------------------------------------------- norbe.package.version

NORBE_API_RECORD(norbe_package_version, R"({"type": "module", "id": "norbe.package.version", "name": "version",
  "parent": "norbe.package",
  "members": ["norbe.package.version.Version"],
  "incomplete": false})")

NORBE_API_RECORD(norbe_package_version_Version, R"({"type": "class", "id": "norbe.package.version.Version",
  "name": "Version", "parent": "norbe.package.version",
  "members": ["norbe.package.version.Version.__new__", "norbe.package.version.Version.__str__",
              "norbe.package.version.Version.__repr__"],
  "decorators": ["typing.final"]})")

NORBE_API_RECORD(norbe_package_version_Version___new__, R"({"type": "function",
  "id": "norbe.package.version.Version.__new__", "name": "__new__", "parent": "norbe.package.version.Version",
  "arguments": {"posonlyargs": [],
                "args": [)" NORBE_CLS R"(, {"name": "ver", "annotation": "str", "default": null}],
                "kwarg": null},
  "decorators": [], "returns": "typing.Self"})")

NORBE_SLOT_METHOD(norbe_package_version_Version, "norbe.package.version.Version", __str__, "str")
NORBE_SLOT_METHOD(norbe_package_version_Version, "norbe.package.version.Version", __repr__, "str")

// clang-format on
