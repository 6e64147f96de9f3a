// The report text of a chain made from the input: messages separated by NUL
// bytes (the first is the top error), each cut into pieces at 0x01 bytes.
// However the messages are cut, the report is the same; the top message
// comes first, unchanged.
#include "errors/chained_error.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

class FuzzError final : public vek::ReportableError {
public:
    FuzzError(std::vector<std::string> pieces, std::unique_ptr<FuzzError> cause)
        : pieces_(std::move(pieces)), cause_(std::move(cause)) {}
    FuzzError(FuzzError&&) = default;
    void write_message(vek::TextSink& out) const override {
        for (const std::string& piece : pieces_) out.write(piece);
    }
    std::string diagnostic_text() const override { return "Fuzz"; }
    const vek::ReportableError* cause() const noexcept override { return cause_.get(); }

private:
    std::vector<std::string> pieces_;
    std::unique_ptr<FuzzError> cause_;
};

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == at)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

std::string join(const std::vector<std::string>& parts) {
    std::string whole;
    for (const auto& part : parts) whole += part;
    return whole;
}

std::string report(const std::vector<std::vector<std::string>>& messages) {
    std::unique_ptr<FuzzError> chain;
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
        chain = std::make_unique<FuzzError>(*it, std::move(chain));
    return vek::ChainedError::from_error(std::move(*chain)).report_text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::vector<std::string>> cut;
    std::vector<std::vector<std::string>> whole;
    for (const std::string& message : split(input, '\0')) {
        cut.push_back(split(message, '\x01'));
        whole.push_back({join(cut.back())});
    }
    if (cut.size() > 64) return 0;

    std::string text = report(cut);
    if (text != report(whole)) std::abort();
    if (!text.starts_with(whole[0][0])) std::abort();
    if ((cut.size() > 1) != (text.find("\n\nCaused by:\n", whole[0][0].size()) ==
                             whole[0][0].size()))
        std::abort();
    return 0;
}
