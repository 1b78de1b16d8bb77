#include "brek/parser/template.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace brek::parser {

TemplateError::TemplateError(std::string file, Location where, const std::string& message)
    : brek_common::CompilationError(file + ":" + std::to_string(where.line) + ":" +
                                    std::to_string(where.column) + ": " + message),
      file_(std::move(file)),
      where_(where),
      detail_(message) {}

namespace {

struct Expr {
  enum class Kind { Literal, List, Name, Call, Not, And, Or };
  Kind kind = Kind::Literal;
  zyl::Value value;         // Literal
  std::string name;         // Name, Call
  std::vector<Expr> items;  // List items, Call positional arguments, operands
  std::vector<std::pair<std::string, Expr>> keywords;  // Call keyword arguments
  Location where;
};

struct Piece;

struct Branch {
  Expr condition;
  std::vector<Piece> body;
};

struct Piece {
  enum class Kind { Text, Output, If };
  Kind kind = Kind::Text;
  std::string text;              // Text
  Expr expr;                     // Output
  std::vector<Branch> branches;  // If: if and elif branches
  std::vector<Piece> otherwise;  // If: else branch (may be empty)
};

}  // namespace

struct Template::Body {
  std::vector<Piece> pieces;
};

namespace {

// ---- lexing ----------------------------------------------------------------------------------

struct Token {
  enum class Kind { Name, String, Number, LParen, RParen, LBracket, RBracket, Comma, Assign, End };
  Kind kind = Kind::End;
  std::string text;
  zyl::Value value;
  Location where;
};

// A tag of the template with its tokens: an output `{{ }}` or a statement `{% %}`.
struct Segment {
  enum class Kind { Text, Output, Statement };
  Kind kind = Kind::Text;
  std::string text;
  std::vector<Token> tokens;
  Location where;
};

class Lexer {
 public:
  Lexer(std::string_view text, const std::string& file) : text_(text), file_(file) {
    line_starts_.push_back(0);
    for (size_t i = 0; i < text_.size(); ++i) {
      if (text_[i] == '\n') line_starts_.push_back(i + 1);
    }
  }

  Location at(size_t offset) const {
    auto it = std::upper_bound(line_starts_.begin(), line_starts_.end(), offset);
    size_t line = static_cast<size_t>(it - line_starts_.begin());
    return Location{static_cast<int>(line), static_cast<int>(offset - line_starts_[line - 1] + 1)};
  }

  [[noreturn]] void fail(size_t offset, const std::string& message) const {
    throw TemplateError(file_, at(offset), message);
  }

  std::vector<Segment> segments() {
    std::vector<Segment> out;
    bool strip_next = false;
    size_t pos = 0;
    auto add_text = [&](std::string_view t) {
      std::string s(t);
      if (strip_next) {
        size_t i = 0;
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        s.erase(0, i);
        strip_next = false;
      }
      if (!s.empty()) out.push_back(Segment{Segment::Kind::Text, std::move(s), {}, {}});
    };
    auto strip_previous = [&] {
      if (out.empty() || out.back().kind != Segment::Kind::Text) return;
      std::string& s = out.back().text;
      while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
      if (s.empty()) out.pop_back();
    };
    while (pos < text_.size()) {
      size_t open = find_opener(pos);
      if (open == std::string_view::npos) {
        add_text(text_.substr(pos));
        break;
      }
      add_text(text_.substr(pos, open - pos));
      char kind = text_[open + 1];
      size_t inner = open + 2;
      if (inner < text_.size() && text_[inner] == '-') {
        strip_previous();
        ++inner;
      } else if (inner < text_.size() && text_[inner] == '+') {
        ++inner;  // explicit "keep whitespace": the default here
      }
      if (kind == '#') {
        size_t close = text_.find("#}", inner);
        if (close == std::string_view::npos) fail(open, "comment is not closed: expected '#}'");
        if (close > inner && text_[close - 1] == '-') strip_next = true;
        pos = close + 2;
        continue;
      }
      const char* closer = kind == '{' ? "}}" : "%}";
      size_t close = find_closer(inner, closer, open);
      size_t end = close;
      if (end > inner && text_[end - 1] == '-') {
        strip_next = true;
        --end;
      }
      Segment seg;
      seg.kind = kind == '{' ? Segment::Kind::Output : Segment::Kind::Statement;
      seg.where = at(open);
      seg.tokens = tokenize(inner, end);
      if (seg.tokens.size() == 1) {
        fail(open, kind == '{' ? "empty expression in '{{ }}'" : "empty tag in '{% %}'");
      }
      out.push_back(std::move(seg));
      pos = close + 2;
    }
    return out;
  }

 private:
  size_t find_opener(size_t from) const {
    for (size_t i = from; i + 1 < text_.size(); ++i) {
      if (text_[i] == '{' && (text_[i + 1] == '{' || text_[i + 1] == '%' || text_[i + 1] == '#')) {
        return i;
      }
    }
    return std::string_view::npos;
  }

  // The offset of `closer` after `from`, skipping quoted strings.
  size_t find_closer(size_t from, const char* closer, size_t open) const {
    char quote = 0;
    for (size_t i = from; i < text_.size(); ++i) {
      char c = text_[i];
      if (quote != 0) {
        if (c == '\\') {
          ++i;
        } else if (c == quote) {
          quote = 0;
        }
        continue;
      }
      if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == closer[0] && i + 1 < text_.size() && text_[i + 1] == closer[1]) {
        return i;
      }
    }
    // An unclosed string swallowed the closer: find it plainly, so the tokenizer can point at
    // the string.
    size_t plain = text_.find(closer, from);
    if (plain != std::string_view::npos) return plain;
    fail(open, std::string("tag is not closed: expected '") + closer + "'");
  }

  std::vector<Token> tokenize(size_t begin, size_t end) const {
    std::vector<Token> out;
    size_t i = begin;
    while (i < end) {
      char c = text_[i];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++i;
        continue;
      }
      Token tok;
      tok.where = at(i);
      if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        size_t j = i;
        while (j < end && (std::isalnum(static_cast<unsigned char>(text_[j])) || text_[j] == '_')) {
          ++j;
        }
        tok.kind = Token::Kind::Name;
        tok.text = std::string(text_.substr(i, j - i));
        i = j;
      } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                 (c == '-' && i + 1 < end &&
                  std::isdigit(static_cast<unsigned char>(text_[i + 1])))) {
        size_t j = i + 1;
        bool is_float = false;
        while (j < end && (std::isdigit(static_cast<unsigned char>(text_[j])) ||
                           (text_[j] == '.' && !is_float))) {
          if (text_[j] == '.') is_float = true;
          ++j;
        }
        tok.kind = Token::Kind::Number;
        tok.text = std::string(text_.substr(i, j - i));
        if (is_float) {
          tok.value = std::strtod(tok.text.c_str(), nullptr);
        } else {
          errno = 0;
          long long v = std::strtoll(tok.text.c_str(), nullptr, 10);
          if (errno == ERANGE) fail(i, "number out of range: " + tok.text);
          tok.value = v;
        }
        i = j;
      } else if (c == '\'' || c == '"') {
        std::string s;
        size_t j = i + 1;
        bool closed = false;
        while (j < end) {
          char d = text_[j];
          if (d == '\\' && j + 1 < end) {
            char e = text_[j + 1];
            switch (e) {
              case 'n':
                s += '\n';
                break;
              case 't':
                s += '\t';
                break;
              default:
                s += e;
                break;
            }
            j += 2;
            continue;
          }
          if (d == c) {
            closed = true;
            ++j;
            break;
          }
          s += d;
          ++j;
        }
        if (!closed) fail(i, "string is not closed");
        tok.kind = Token::Kind::String;
        tok.value = s;
        tok.text = std::string(text_.substr(i, j - i));
        i = j;
      } else {
        switch (c) {
          case '(':
            tok.kind = Token::Kind::LParen;
            break;
          case ')':
            tok.kind = Token::Kind::RParen;
            break;
          case '[':
            tok.kind = Token::Kind::LBracket;
            break;
          case ']':
            tok.kind = Token::Kind::RBracket;
            break;
          case ',':
            tok.kind = Token::Kind::Comma;
            break;
          case '=':
            if (i + 1 < end && text_[i + 1] == '=') fail(i, "operator '==' is not supported");
            tok.kind = Token::Kind::Assign;
            break;
          case '|':
            fail(i, "filters ('|') are not supported");
          case '.':
            fail(i, "attribute access ('.') is not supported");
          default:
            fail(i, std::string("unexpected character '") + c + "'");
        }
        tok.text = std::string(1, c);
        ++i;
      }
      out.push_back(std::move(tok));
    }
    Token end_tok;
    end_tok.kind = Token::Kind::End;
    end_tok.where = at(end);
    out.push_back(std::move(end_tok));
    return out;
  }

  std::string_view text_;
  const std::string& file_;
  std::vector<size_t> line_starts_;
};

// ---- parsing ---------------------------------------------------------------------------------

std::string describe(const Token& t) {
  return t.kind == Token::Kind::End ? "end of tag" : "'" + t.text + "'";
}

class ExprParser {
 public:
  ExprParser(const std::vector<Token>& tokens, size_t start, const std::string& file)
      : tokens_(tokens), pos_(start), file_(file) {}

  Expr parse() { return parse_or(); }

  const Token& peek() const { return tokens_[pos_]; }
  size_t position() const { return pos_; }

  [[noreturn]] void fail(const Token& at, const std::string& message) const {
    throw TemplateError(file_, at.where, message);
  }

  void expect_end(const char* what) const {
    if (peek().kind != Token::Kind::End) {
      fail(peek(), "unexpected " + describe(peek()) + " after " + what);
    }
  }

 private:
  bool is_word(const char* word) const {
    return peek().kind == Token::Kind::Name && peek().text == word;
  }

  const Token& next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }

  void expect(Token::Kind kind, const char* what) {
    if (peek().kind != kind)
      fail(peek(), std::string("expected ") + what + ", found " + describe(peek()));
    next();
  }

  Expr parse_or() {
    Expr left = parse_and();
    while (is_word("or")) {
      Expr e;
      e.kind = Expr::Kind::Or;
      e.where = next().where;
      e.items.push_back(std::move(left));
      e.items.push_back(parse_and());
      left = std::move(e);
    }
    return left;
  }

  Expr parse_and() {
    Expr left = parse_not();
    while (is_word("and")) {
      Expr e;
      e.kind = Expr::Kind::And;
      e.where = next().where;
      e.items.push_back(std::move(left));
      e.items.push_back(parse_not());
      left = std::move(e);
    }
    return left;
  }

  Expr parse_not() {
    if (is_word("not")) {
      Expr e;
      e.kind = Expr::Kind::Not;
      e.where = next().where;
      e.items.push_back(parse_not());
      return e;
    }
    return parse_primary();
  }

  Expr parse_primary() {
    const Token& t = peek();
    Expr e;
    e.where = t.where;
    switch (t.kind) {
      case Token::Kind::String:
      case Token::Kind::Number:
        e.value = next().value;
        return e;
      case Token::Kind::LParen: {
        next();
        Expr inner = parse_or();
        expect(Token::Kind::RParen, "')'");
        return inner;
      }
      case Token::Kind::LBracket: {
        next();
        e.kind = Expr::Kind::List;
        while (peek().kind != Token::Kind::RBracket) {
          e.items.push_back(parse_or());
          if (peek().kind != Token::Kind::Comma) break;
          next();
        }
        expect(Token::Kind::RBracket, "']'");
        return e;
      }
      case Token::Kind::Name:
        break;
      default:
        fail(t, "expected an expression, found " + describe(t));
    }
    std::string word = next().text;
    if (word == "true" || word == "True") {
      e.value = true;
      return e;
    }
    if (word == "false" || word == "False") {
      e.value = false;
      return e;
    }
    if (word == "none" || word == "None") {
      e.value = nullptr;
      return e;
    }
    if (word == "and" || word == "or" || word == "in" || word == "is") {
      fail(t, "expected an expression, found '" + word + "'");
    }
    e.name = word;
    if (peek().kind != Token::Kind::LParen) {
      e.kind = Expr::Kind::Name;
      return e;
    }
    next();
    e.kind = Expr::Kind::Call;
    while (peek().kind != Token::Kind::RParen) {
      if (peek().kind == Token::Kind::Name && tokens_[pos_ + 1].kind == Token::Kind::Assign) {
        std::string key = next().text;
        next();
        e.keywords.emplace_back(std::move(key), parse_or());
      } else {
        if (!e.keywords.empty()) fail(peek(), "positional argument after keyword argument");
        e.items.push_back(parse_or());
      }
      if (peek().kind != Token::Kind::Comma) break;
      next();
    }
    expect(Token::Kind::RParen, "')' or ','");
    return e;
  }

  const std::vector<Token>& tokens_;
  size_t pos_;
  const std::string& file_;
};

class StructureParser {
 public:
  StructureParser(std::vector<Segment> segments, const std::string& file)
      : segments_(std::move(segments)), file_(file) {}

  std::vector<Piece> parse_all() {
    std::vector<Piece> body = parse_body();
    if (pos_ < segments_.size()) {
      const Segment& s = segments_[pos_];
      throw TemplateError(file_, s.where, "unexpected '" + s.tokens[0].text + "'");
    }
    return body;
  }

 private:
  // Parses pieces up to (not including) an elif/else/endif tag or the end.
  std::vector<Piece> parse_body() {
    std::vector<Piece> out;
    while (pos_ < segments_.size()) {
      const Segment& s = segments_[pos_];
      if (s.kind == Segment::Kind::Text) {
        Piece p;
        p.text = s.text;
        out.push_back(std::move(p));
        ++pos_;
      } else if (s.kind == Segment::Kind::Output) {
        ExprParser ep(s.tokens, 0, file_);
        Piece p;
        p.kind = Piece::Kind::Output;
        p.expr = ep.parse();
        ep.expect_end("expression");
        out.push_back(std::move(p));
        ++pos_;
      } else {
        const Token& head = s.tokens[0];
        if (head.kind != Token::Kind::Name) {
          throw TemplateError(file_, head.where, "expected a tag name, found " + describe(head));
        }
        if (head.text == "elif" || head.text == "else" || head.text == "endif") return out;
        if (head.text != "if") {
          throw TemplateError(file_, head.where,
                              "unknown tag '" + head.text + "' (supported: if, elif, else, endif)");
        }
        out.push_back(parse_if());
      }
    }
    return out;
  }

  Piece parse_if() {
    Piece p;
    p.kind = Piece::Kind::If;
    Location if_at = segments_[pos_].where;
    bool in_else = false;
    while (true) {
      const Segment& s = segments_[pos_];
      const std::string& word = s.tokens[0].text;
      if (word == "if" || word == "elif") {
        ExprParser ep(s.tokens, 1, file_);
        Branch b;
        b.condition = ep.parse();
        ep.expect_end("condition");
        ++pos_;
        b.body = parse_body();
        p.branches.push_back(std::move(b));
      } else {  // else
        ExprParser ep(s.tokens, 1, file_);
        ep.expect_end("'else'");
        ++pos_;
        p.otherwise = parse_body();
        in_else = true;
      }
      if (pos_ >= segments_.size()) {
        throw TemplateError(file_, if_at, "'if' is not closed: expected 'endif'");
      }
      const Segment& t = segments_[pos_];
      const std::string& next_word = t.tokens[0].text;
      if (next_word == "endif") {
        ExprParser ep(t.tokens, 1, file_);
        ep.expect_end("'endif'");
        ++pos_;
        return p;
      }
      if (in_else) {
        throw TemplateError(file_, t.where, "'" + next_word + "' after 'else'");
      }
    }
  }

  std::vector<Segment> segments_;
  size_t pos_ = 0;
  const std::string& file_;
};

// ---- evaluation ------------------------------------------------------------------------------

class Evaluator {
 public:
  Evaluator(TemplateContext& context, const std::string& file, bool visit_all)
      : context_(context), file_(file), visit_all_(visit_all) {}

  void run(const std::vector<Piece>& body, std::string& out) {
    for (const Piece& p : body) {
      switch (p.kind) {
        case Piece::Kind::Text:
          out += p.text;
          break;
        case Piece::Kind::Output: {
          zyl::Value v = eval(p.expr);
          out += v.is_string() ? v.get<std::string>() : zyl::text_form(v);
          break;
        }
        case Piece::Kind::If:
          if (visit_all_) {
            for (const Branch& b : p.branches) {
              eval(b.condition);
              run(b.body, out);
            }
            run(p.otherwise, out);
            break;
          }
          {
            bool taken = false;
            for (const Branch& b : p.branches) {
              if (zyl::is_set(eval(b.condition))) {
                run(b.body, out);
                taken = true;
                break;
              }
            }
            if (!taken) run(p.otherwise, out);
          }
          break;
      }
    }
  }

 private:
  [[noreturn]] void fail(Location where, const std::string& message) const {
    throw TemplateError(file_, where, message);
  }

  zyl::Value eval(const Expr& e) {
    switch (e.kind) {
      case Expr::Kind::Literal:
        return e.value;
      case Expr::Kind::List: {
        zyl::Value list = zyl::Value::array();
        for (const Expr& item : e.items) list.push_back(eval(item));
        return list;
      }
      case Expr::Kind::Not:
        return !zyl::is_set(eval(e.items[0]));
      case Expr::Kind::And: {
        zyl::Value left = eval(e.items[0]);
        if (!zyl::is_set(left) && !visit_all_) return left;
        zyl::Value right = eval(e.items[1]);
        return zyl::is_set(left) ? right : left;
      }
      case Expr::Kind::Or: {
        zyl::Value left = eval(e.items[0]);
        if (zyl::is_set(left) && !visit_all_) return left;
        zyl::Value right = eval(e.items[1]);
        return zyl::is_set(left) ? left : right;
      }
      case Expr::Kind::Name:
        if (e.name == "this") return context_.this_relation(e.where);
        if (e.name == "ref" || e.name == "source" || e.name == "config" || e.name == "var" ||
            e.name == "env_var" || e.name == "is_incremental") {
          fail(e.where, "'" + e.name + "' must be called: " + e.name + "(...)");
        }
        fail(e.where, "unknown name '" + e.name + "'");
      case Expr::Kind::Call:
        return call(e);
    }
    return nullptr;
  }

  std::string string_argument(const Expr& call, size_t index, const char* what) {
    zyl::Value v = eval(call.items[index]);
    if (!v.is_string()) {
      fail(call.items[index].where, std::string(what) + " of " + call.name +
                                        "() must be a string, got " + zyl::text_form(v));
    }
    return v.get<std::string>();
  }

  void arity(const Expr& e, size_t low, size_t high, const char* usage) {
    if (e.items.size() < low || e.items.size() > high)
      fail(e.where, std::string("usage: ") + usage);
  }

  void no_keywords(const Expr& e, const char* usage) {
    if (!e.keywords.empty()) {
      fail(e.where, "unexpected keyword argument '" + e.keywords[0].first + "'; usage: " + usage);
    }
  }

  zyl::Value call(const Expr& e) {
    const std::string& f = e.name;
    if (f == "ref") {
      const char* usage = "ref('model_name')";
      no_keywords(e, usage);
      arity(e, 1, 2, usage);
      // ref('package', 'model'): one package only, so the package is accepted and not used.
      std::string name = string_argument(e, e.items.size() - 1, "the model name");
      if (e.items.size() == 2) string_argument(e, 0, "the package name");
      return context_.ref(name, e.where);
    }
    if (f == "source") {
      const char* usage = "source('source_name', 'table_name')";
      no_keywords(e, usage);
      arity(e, 2, 2, usage);
      std::string source = string_argument(e, 0, "the source name");
      std::string table = string_argument(e, 1, "the table name");
      return context_.source(source, table, e.where);
    }
    if (f == "config") {
      if (!e.items.empty()) {
        fail(e.where, "config() takes keyword arguments only: config(materialized='table')");
      }
      zyl::Value keywords = zyl::Value::object();
      for (const auto& [key, value] : e.keywords) keywords[key] = eval(value);
      context_.config(keywords, e.where);
      return "";
    }
    if (f == "is_incremental") {
      no_keywords(e, "is_incremental()");
      arity(e, 0, 0, "is_incremental()");
      return visit_all_ ? false : context_.is_incremental();
    }
    if (f == "var") {
      const char* usage = "var('name') or var('name', default)";
      no_keywords(e, usage);
      arity(e, 1, 2, usage);
      std::string name = string_argument(e, 0, "the variable name");
      if (const zyl::Value* v = context_.var(name)) return *v;
      if (e.items.size() == 2) return eval(e.items[1]);
      if (visit_all_) return nullptr;
      fail(e.where, "required variable '" + name +
                        "' is not defined: set it under 'vars' in brek_project.yml or pass --vars");
    }
    if (f == "env_var") {
      const char* usage = "env_var('NAME') or env_var('NAME', default)";
      no_keywords(e, usage);
      arity(e, 1, 2, usage);
      std::string name = string_argument(e, 0, "the variable name");
      if (const char* v = std::getenv(name.c_str())) return std::string(v);
      if (e.items.size() == 2) return eval(e.items[1]);
      fail(e.where, "environment variable '" + name + "' is not set and has no default");
    }
    fail(e.where, "unknown function '" + f +
                      "' (supported: ref, source, config, is_incremental, var, env_var)");
  }

  TemplateContext& context_;
  const std::string& file_;
  bool visit_all_;
};

}  // namespace

Template Template::parse(std::string_view text, std::string file) {
  Template t;
  t.file_ = std::move(file);
  Lexer lexer(text, t.file_);
  StructureParser parser(lexer.segments(), t.file_);
  auto body = std::make_shared<Body>();
  body->pieces = parser.parse_all();
  t.body_ = std::move(body);
  return t;
}

std::string Template::render(TemplateContext& context) const {
  std::string out;
  if (body_) Evaluator(context, file_, false).run(body_->pieces, out);
  return out;
}

void Template::visit_all(TemplateContext& context) const {
  std::string ignored;
  if (body_) Evaluator(context, file_, true).run(body_->pieces, ignored);
}

size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::optional<std::string> closest_match(const std::string& name,
                                         const std::vector<std::string>& candidates) {
  size_t limit = std::max<size_t>(1, (name.size() + 2) / 3);
  std::optional<std::string> best;
  size_t best_distance = limit + 1;
  for (const std::string& c : candidates) {
    size_t d = edit_distance(name, c);
    if (d < best_distance) {
      best_distance = d;
      best = c;
    }
  }
  return best;
}

}  // namespace brek::parser
