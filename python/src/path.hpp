// Where a value sits inside an argument, for messages: X, X[0], X['a'],
// X[3], X key, X.field. Built as a chain of links on the stack while the
// collection walks the argument; the text is made only for a message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltra::seam {

class Path {
  public:
    static Path root(std::string_view name) { return Path(nullptr, Step::Root, name, 0); }

    // Element i of a list or tuple, or the value under an integer key.
    Path index(std::int64_t i) const { return Path(this, Step::Index, {}, i); }
    // The value under a string key (the text must outlive the path).
    Path str_key(std::string_view key) const { return Path(this, Step::StrKey, key, 0); }
    // A key of a mapping itself.
    Path key() const { return Path(this, Step::Key, {}, 0); }
    // A field of a dataclass instance (the name must outlive the path).
    Path field(std::string_view name) const { return Path(this, Step::Field, name, 0); }

    std::string text() const {
        std::string out;
        append_to(out);
        return out;
    }

  private:
    enum class Step : std::uint8_t { Root, Index, StrKey, Key, Field };
    Path(const Path* parent, Step step, std::string_view name, std::int64_t n)
        : parent_(parent), step_(step), name_(name), n_(n) {}

    void append_to(std::string& out) const {
        if (parent_ != nullptr) parent_->append_to(out);
        switch (step_) {
            case Step::Root:
                out.append(name_);
                break;
            case Step::Index:
                out.append("[").append(std::to_string(n_)).append("]");
                break;
            case Step::StrKey:
                out.append("['").append(name_).append("']");
                break;
            case Step::Key:
                out.append(" key");
                break;
            case Step::Field:
                out.append(".").append(name_);
                break;
        }
    }

    const Path* parent_;
    Step step_;
    std::string_view name_;
    std::int64_t n_;
};

}  // namespace veltra::seam
