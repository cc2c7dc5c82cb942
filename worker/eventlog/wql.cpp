#include "worker/eventlog/wql.h"

#include <cctype>
#include <charconv>

#include "common/text.h"

namespace orvane::wql {
namespace {

struct Token {
    enum class Kind { End, Word, String, Number, Symbol } kind = Kind::End;
    std::string text;
};

class Lexer {
public:
    explicit Lexer(std::string_view s) : s_(s) {}

    bool Next(Token& t, std::string& error) {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
        t = Token{};
        if (pos_ >= s_.size()) return true;
        const char c = s_[pos_];
        if (c == '\'' || c == '"') {
            // WQL strings: the quote ends them, a backslash escapes the next character.
            std::string v;
            ++pos_;
            while (pos_ < s_.size() && s_[pos_] != c) {
                if (s_[pos_] == '\\' && pos_ + 1 < s_.size()) ++pos_;
                v += s_[pos_++];
            }
            if (pos_ >= s_.size()) {
                error = "unterminated string";
                return false;
            }
            ++pos_;
            t = Token{Token::Kind::String, std::move(v)};
            return true;
        }
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            std::size_t b = pos_;
            while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_')) ++pos_;
            t = Token{Token::Kind::Word, std::string(s_.substr(b, pos_ - b))};
            return true;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '-') {
            std::size_t b = pos_++;
            while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
            t = Token{Token::Kind::Number, std::string(s_.substr(b, pos_ - b))};
            return true;
        }
        for (std::string_view two : {"<=", ">=", "<>", "!="}) {
            if (s_.substr(pos_, 2) == two) {
                pos_ += 2;
                t = Token{Token::Kind::Symbol, std::string(two)};
                return true;
            }
        }
        if (std::string_view("=<>(),*").find(c) != std::string_view::npos) {
            ++pos_;
            t = Token{Token::Kind::Symbol, std::string(1, c)};
            return true;
        }
        error = std::string("unexpected character '") + c + "'";
        return false;
    }

private:
    std::string_view s_;
    std::size_t pos_ = 0;
};

class Parser {
public:
    explicit Parser(std::string_view s) : lex_(s) {}

    std::optional<Query> Run() {
        if (!Advance() || !Keyword("SELECT")) return Fail("SELECT expected");
        if (!Advance()) return Fail();
        Query q;
        if (Symbol("*")) {
            if (!Advance()) return Fail();
        } else {
            do {
                if (tok_.kind != Token::Kind::Word) return Fail("property name expected");
                q.properties.push_back(tok_.text);
                if (!Advance()) return Fail();
            } while (Symbol(",") && Advance());
            if (!ok_) return Fail();
        }
        if (!Keyword("FROM")) return Fail("FROM expected");
        if (!Advance() || tok_.kind != Token::Kind::Word) return Fail("class name expected");
        q.className = tok_.text;
        if (!Advance()) return Fail();
        if (Keyword("WHERE")) {
            if (!Advance()) return Fail();
            q.where = Or();
            if (!q.where) return Fail();
        }
        if (tok_.kind != Token::Kind::End) return Fail("unexpected '" + tok_.text + "'");
        return q;
    }

private:
public:
    const std::string& Error() const { return error_; }

private:
    // The first reason found (a lexer or inner parser error) wins over the caller's.
    std::nullopt_t Fail(std::string why = {}) {
        if (error_.empty()) error_ = why.empty() ? "syntax error" : std::move(why);
        return std::nullopt;
    }

    bool Advance() {
        ok_ = lex_.Next(tok_, error_);
        return ok_;
    }
    bool Keyword(std::string_view k) const { return tok_.kind == Token::Kind::Word && EqualsNoCase(tok_.text, k); }
    bool Symbol(std::string_view s) const { return tok_.kind == Token::Kind::Symbol && tok_.text == s; }

    static std::unique_ptr<Condition> Join(Condition::Kind kind, std::unique_ptr<Condition> l,
                                           std::unique_ptr<Condition> r) {
        auto c = std::make_unique<Condition>();
        c->kind = kind;
        c->left = std::move(l);
        c->right = std::move(r);
        return c;
    }

    std::unique_ptr<Condition> Or() {
        auto l = And();
        while (l && Keyword("OR")) {
            if (!Advance()) return nullptr;
            auto r = And();
            if (!r) return nullptr;
            l = Join(Condition::Kind::Or, std::move(l), std::move(r));
        }
        return l;
    }

    std::unique_ptr<Condition> And() {
        auto l = Unary();
        while (l && Keyword("AND")) {
            if (!Advance()) return nullptr;
            auto r = Unary();
            if (!r) return nullptr;
            l = Join(Condition::Kind::And, std::move(l), std::move(r));
        }
        return l;
    }

    std::unique_ptr<Condition> Unary() {
        if (Keyword("NOT")) {
            if (!Advance()) return nullptr;
            auto inner = Unary();
            if (!inner) return nullptr;
            return Join(Condition::Kind::Not, std::move(inner), nullptr);
        }
        if (Symbol("(")) {
            if (!Advance()) return nullptr;
            auto inner = Or();
            if (!inner || !Symbol(")")) {
                if (inner) error_ = "')' expected";
                return nullptr;
            }
            if (!Advance()) return nullptr;
            return inner;
        }
        return Compare();
    }

    std::unique_ptr<Condition> Compare() {
        if (tok_.kind != Token::Kind::Word) {
            error_ = "property name expected";
            return nullptr;
        }
        auto c = std::make_unique<Condition>();
        c->property = tok_.text;
        if (!Advance()) return nullptr;
        static constexpr std::pair<std::string_view, Op> kOps[] = {
            {"=", Op::Eq}, {"<>", Op::Ne}, {"!=", Op::Ne}, {"<", Op::Lt}, {"<=", Op::Le}, {">", Op::Gt}, {">=", Op::Ge}};
        bool found = false;
        for (const auto& [text, op] : kOps) {
            if (Symbol(text)) {
                c->op = op;
                found = true;
            }
        }
        if (!found) {
            error_ = "comparison operator expected";
            return nullptr;
        }
        if (!Advance()) return nullptr;
        if (tok_.kind != Token::Kind::String && tok_.kind != Token::Kind::Number) {
            error_ = "literal expected";
            return nullptr;
        }
        c->literal = tok_.text;
        if (!Advance()) return nullptr;
        return c;
    }

    Lexer lex_;
    Token tok_;
    bool ok_ = true;
    std::string error_;
};

template <typename T>
bool Holds(Op op, const T& a, const T& b) {
    switch (op) {
        case Op::Eq: return a == b;
        case Op::Ne: return a != b;
        case Op::Lt: return a < b;
        case Op::Le: return a <= b;
        case Op::Gt: return a > b;
        case Op::Ge: return a >= b;
    }
    return false;
}

bool ParseInteger(std::string_view s, std::int64_t& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

// The operands of a top-level AND chain.
void Conjuncts(const Condition* c, std::vector<const Condition*>& out) {
    if (!c) return;
    if (c->kind == Condition::Kind::And) {
        Conjuncts(c->left.get(), out);
        Conjuncts(c->right.get(), out);
    } else {
        out.push_back(c);
    }
}

}  // namespace

std::optional<Query> Parse(std::string_view text, std::string* error) {
    Parser p(text);
    auto q = p.Run();
    if (!q && error) *error = p.Error();
    return q;
}

bool Matches(const Condition* where, const EventObject& object) {
    if (!where) return true;
    switch (where->kind) {
        case Condition::Kind::And: return Matches(where->left.get(), object) && Matches(where->right.get(), object);
        case Condition::Kind::Or: return Matches(where->left.get(), object) || Matches(where->right.get(), object);
        case Condition::Kind::Not: return !Matches(where->left.get(), object);
        case Condition::Kind::Compare: break;
    }
    const EventValue* v = object.Get(where->property);
    if (!v) return false;
    if (const auto* i = std::get_if<std::int64_t>(v)) {
        std::int64_t lit = 0;
        return ParseInteger(where->literal, lit) && Holds(where->op, *i, lit);
    }
    if (const auto* s = std::get_if<std::string>(v)) return Holds(where->op, std::string_view(*s), std::string_view(where->literal));
    return false;
}

std::optional<std::string> LowerBound(const Condition* where, std::string_view property) {
    std::vector<const Condition*> parts;
    Conjuncts(where, parts);
    std::optional<std::string> bound;
    for (const Condition* c : parts) {
        if (c->kind == Condition::Kind::Compare && (c->op == Op::Gt || c->op == Op::Ge) &&
            EqualsNoCase(c->property, property) && (!bound || *bound < c->literal))
            bound = c->literal;
    }
    return bound;
}

}  // namespace orvane::wql
