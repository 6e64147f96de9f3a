#include "scm/scm_error.h"

namespace vek {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace

void RawValueError::write_message(TextSink& out) const {
    std::visit(Overload{
                   [&](const InvalidInteger& e) {
                       out.write("invalid unsigned integer for the target type: ");
                       out.write(std::to_string(e.value));
                   },
                   [&](const InvalidIntegerSigned& e) {
                       out.write("invalid signed integer for the target type: ");
                       out.write(std::to_string(e.value));
                   },
                   [&](const InvalidGuid& e) {
                       out.write("invalid GUID value for the target type: ");
                       out.write(e.value);
                   },
               },
               variant_);
}

std::string RawValueError::diagnostic_text() const {
    return std::visit(
        Overload{
            [](const InvalidInteger& e) { return "InvalidInteger(" + std::to_string(e.value) + ")"; },
            [](const InvalidIntegerSigned& e) {
                return "InvalidIntegerSigned(" + std::to_string(e.value) + ")";
            },
            [](const InvalidGuid& e) { return "InvalidGuid(" + quoted(e.value) + ")"; },
        },
        variant_);
}

void ScmError::write_message(TextSink& out) const {
    std::visit(Overload{
                   [&](const LaunchArgumentsNotSupported&) {
                       out.write("kernel drivers do not support launch arguments");
                   },
                   [&](const ParseValue& e) {
                       out.write("invalid ");
                       out.write(e.label);
                       out.write(" value");
                   },
                   [&](const ArgumentHasNulByte& e) {
                       out.write(e.label);
                       out.write(" contains a nul byte");
                   },
                   [&](const ArgumentArrayElementHasNulByte& e) {
                       out.write(e.label);
                       out.write(" contains a nul byte in element at ");
                       out.write(std::to_string(e.index));
                       out.write(" index");
                   },
                   [&](const Winapi&) { out.write("IO error in winapi call"); },
               },
               variant_);
}

std::string ScmError::diagnostic_text() const {
    return std::visit(
        Overload{
            [](const LaunchArgumentsNotSupported&) {
                return std::string("LaunchArgumentsNotSupported");
            },
            [](const ParseValue& e) {
                return "ParseValue(" + quoted(e.label) + ", " + e.error.diagnostic_text() + ")";
            },
            [](const ArgumentHasNulByte& e) { return "ArgumentHasNulByte(" + quoted(e.label) + ")"; },
            [](const ArgumentArrayElementHasNulByte& e) {
                return "ArgumentArrayElementHasNulByte(" + quoted(e.label) + ", " +
                       std::to_string(e.index) + ")";
            },
            [](const Winapi& e) { return "Winapi(" + e.error.diagnostic_text() + ")"; },
        },
        variant_);
}

const ReportableError* ScmError::cause() const noexcept {
    if (const auto* parse = std::get_if<ParseValue>(&variant_)) return &parse->error;
    if (const auto* winapi = std::get_if<Winapi>(&variant_)) return &winapi->error;
    return nullptr;
}

}  // namespace vek
