// The token layer under every tree the package builds: asttokens' tokenizer and token
// marker, reproduced natively.
//
// asttokens tokenises with the standard library's pure-Python tokenizer and marks each
// node from Python methods: on a file of a megabyte that costs several times the parse,
// and every snippet, every suggestion and every settings parse goes through it. The
// same two steps run here, token for token and mark for mark: the stdlib tokenizer's
// loop (its own compiled patterns decide every token that the plain ASCII cases below
// do not), asttokens' merging of identifier pieces, and its marking visit with each
// per-class adjustment. The tests compare every token and mark with asttokens' own.
#include "tokens.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using support::borrow;
using support::call_method;
using support::name;
using support::steal;

struct TokenLibs {
    py::handle Token, ASTTokens, ASTTextBase, pseudo_match, compile, endpats,
        single_quoted, triple_quoted, TokenError, expect_token, stmt_class_names,
        Number, AST;
    py::handle empty, newline;
    int NAME, NUMBER, STRING, NEWLINE, INDENT, DEDENT, OP, COMMENT, NL, ERRORTOKEN,
        ENDMARKER, ENCODING;
};
const TokenLibs *T = nullptr;

// Tokens and marks are hundreds of thousands of new tuples and attributes on a large
// file, and every few hundred of them would start a collection that walks the whole
// tree just built; none of them can form a cycle, so collections wait until the end.
struct CollectionPause {
    bool was_enabled = PyGC_Disable() == 1;
    CollectionPause() = default;
    CollectionPause(const CollectionPause &) = delete;
    CollectionPause &operator=(const CollectionPause &) = delete;
    ~CollectionPause() {
        if (was_enabled) PyGC_Enable();
    }
};

// One token as tokenize's TokenInfo holds it.
struct RawToken {
    int type;
    py::object string;
    Py_ssize_t srow, scol, erow, ecol;
    py::object line;
};

py::object substring(py::handle text, Py_ssize_t start, Py_ssize_t end) {
    return steal(PyUnicode_Substring(text.ptr(), start, end));
}

[[noreturn]] void raise_token_error(const char *message, Py_ssize_t row,
                                    Py_ssize_t col) {
    PyErr_SetObject(T->TokenError.ptr(),
                    py::make_tuple(message, py::make_tuple(row, col)).ptr());
    throw py::error_already_set();
}

bool is_ascii_word(Py_UCS4 c) {
    return c < 128 && (std::isalnum(static_cast<int>(c)) || c == '_');
}

bool in(Py_UCS4 c, const char *chars) {
    return c != 0 && c < 128 && std::strchr(chars, static_cast<int>(c)) != nullptr;
}

// tokenize.generate_tokens over io.StringIO(text).readline: rows end at "\n" only.
class Tokenizer {
public:
    explicit Tokenizer(py::handle text) : text(text) {}

    std::vector<RawToken> run() {
        Py_ssize_t lnum = 0, parenlev = 0;
        bool continued = false, needcont = false;
        py::object contstr, contline, endprog; // contstr set: inside a string
        Py_ssize_t strstart_row = 0, strstart_col = 0;
        std::vector<Py_ssize_t> indents{0};
        py::object last_line = borrow(T->empty), line = borrow(T->empty);
        while (true) {
            last_line = line;
            line = readline();
            ++lnum;
            PyObject *l = line.ptr();
            Py_ssize_t pos = 0, max = PyUnicode_GET_LENGTH(l);
            int kind = PyUnicode_KIND(l);
            const void *data = PyUnicode_DATA(l);
            auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
            if (contstr) {
                if (max == 0)
                    raise_token_error("EOF in multi-line string", strstart_row,
                                      strstart_col);
                py::object endmatch = endprog.attr("match")(line);
                if (!endmatch.is_none()) {
                    Py_ssize_t end = endmatch.attr("end")(0).cast<Py_ssize_t>();
                    pos = end;
                    emit(T->STRING, contstr + substring(line, 0, end), strstart_row,
                         strstart_col, lnum, end, contline + line);
                    contstr = py::object();
                    needcont = false;
                    contline = py::object();
                } else if (needcont && !ends_with(line, "\\\n") &&
                           !ends_with(line, "\\\r\n")) {
                    emit(T->ERRORTOKEN, contstr + line, strstart_row, strstart_col,
                         lnum, max, contline);
                    contstr = py::object();
                    contline = py::object();
                    continue;
                } else {
                    contstr = contstr + line;
                    contline = contline + line;
                    continue;
                }
            } else if (parenlev == 0 && !continued) { // a new statement
                if (max == 0) break;
                Py_ssize_t column = 0;
                for (; pos < max; ++pos) {
                    Py_UCS4 c = at(pos);
                    if (c == ' ')
                        column += 1;
                    else if (c == '\t')
                        column = (column / 8 + 1) * 8;
                    else if (c == '\f')
                        column = 0;
                    else
                        break;
                }
                if (pos == max) break;
                Py_UCS4 c = at(pos);
                if (in(c, "#\r\n")) { // a comment or a blank row
                    if (c == '#') {
                        Py_ssize_t end = max;
                        while (end > pos && in(at(end - 1), "\r\n"))
                            --end;
                        emit(T->COMMENT, substring(line, pos, end), lnum, pos, lnum,
                             end, line);
                        pos = end;
                    }
                    emit(T->NL, substring(line, pos, max), lnum, pos, lnum, max, line);
                    continue;
                }
                if (column > indents.back()) {
                    indents.push_back(column);
                    emit(T->INDENT, substring(line, 0, pos), lnum, 0, lnum, pos, line);
                }
                while (column < indents.back()) {
                    if (std::find(indents.begin(), indents.end(), column) ==
                        indents.end()) {
                        PyErr_SetObject(
                            PyExc_IndentationError,
                            py::make_tuple(
                                "unindent does not match any outer indentation level",
                                py::make_tuple("<tokenize>", lnum, pos, line))
                                .ptr());
                        throw py::error_already_set();
                    }
                    indents.pop_back();
                    emit(T->DEDENT, borrow(T->empty), lnum, pos, lnum, pos, line);
                }
            } else { // a continued statement
                if (max == 0) raise_token_error("EOF in multi-line statement", lnum, 0);
                continued = false;
            }

            while (pos < max) {
                // The plain ASCII cases, decided as the pseudo-token pattern would.
                Py_ssize_t p = pos;
                while (p < max && in(at(p), " \f\t"))
                    ++p;
                if (p == max) { // blanks up to the row's end: an empty match
                    pos = max;
                    continue;
                }
                Py_UCS4 c = at(p), next = p + 1 < max ? at(p + 1) : 0;
                if (is_ascii_word(c) && !std::isdigit(static_cast<int>(c))) {
                    Py_ssize_t q = p + 1;
                    while (q < max && is_ascii_word(at(q)))
                        ++q;
                    Py_UCS4 after = q < max ? at(q) : 0;
                    if (after < 128 && after != '\'' && after != '"') { // no prefix
                        emit(T->NAME, substring(line, p, q), lnum, p, lnum, q, line);
                        pos = q;
                        continue;
                    }
                } else if (c < 128 && std::isdigit(static_cast<int>(c))) {
                    Py_ssize_t q = p;
                    bool zeros = true;
                    while (q < max && at(q) < 128 &&
                           std::isdigit(static_cast<int>(at(q)))) {
                        zeros = zeros && at(q) == '0';
                        ++q;
                    }
                    Py_UCS4 after = q < max ? at(q) : 0;
                    if (!in(after, "_.eEjJxXoObB") && (c != '0' || zeros)) {
                        emit(T->NUMBER, substring(line, p, q), lnum, p, lnum, q, line);
                        pos = q;
                        continue;
                    }
                } else if (in(c, "([{)]},;~") ||
                           (c == '.' && next != '.' &&
                            !(next < 128 && std::isdigit(static_cast<int>(next)))) ||
                           (in(c, ":=") && next != '=')) {
                    if (in(c, "([{")) ++parenlev;
                    if (in(c, ")]}")) --parenlev;
                    emit(T->OP, substring(line, p, p + 1), lnum, p, lnum, p + 1, line);
                    pos = p + 1;
                    continue;
                } else if (c == '\n') {
                    emit(parenlev > 0 ? T->NL : T->NEWLINE, borrow(T->newline), lnum, p,
                         lnum, p + 1, line);
                    pos = p + 1;
                    continue;
                }

                // Everything else through tokenize's own pattern and steps.
                py::object pseudomatch = T->pseudo_match(line, pos);
                if (pseudomatch.is_none()) {
                    emit(T->ERRORTOKEN, substring(line, pos, pos + 1), lnum, pos, lnum,
                         pos + 1, line);
                    pos += 1;
                    continue;
                }
                py::tuple span = pseudomatch.attr("span")(1);
                Py_ssize_t start = span[0].cast<Py_ssize_t>(),
                           end = span[1].cast<Py_ssize_t>();
                pos = end;
                if (start == end) continue;
                py::object token = substring(line, start, end);
                Py_UCS4 initial = at(start);
                if ((initial < 128 && std::isdigit(static_cast<int>(initial))) ||
                    (initial == '.' && end - start != 1 && !str_is(token, "..."))) {
                    emit(T->NUMBER, token, lnum, start, lnum, end, line);
                } else if (in(initial, "\r\n")) {
                    emit(parenlev > 0 ? T->NL : T->NEWLINE, token, lnum, start, lnum,
                         end, line);
                } else if (initial == '#') {
                    emit(T->COMMENT, token, lnum, start, lnum, end, line);
                } else if (support::contains(T->triple_quoted, token)) {
                    endprog = T->compile(T->endpats[token]);
                    py::object endmatch = endprog.attr("match")(line, pos);
                    if (!endmatch.is_none()) { // all on one row
                        pos = endmatch.attr("end")(0).cast<Py_ssize_t>();
                        emit(T->STRING, substring(line, start, pos), lnum, start, lnum,
                             pos, line);
                    } else { // over several rows
                        strstart_row = lnum;
                        strstart_col = start;
                        contstr = substring(line, start, max);
                        contline = line;
                        break;
                    }
                } else if (quoted_prefix(token)) {
                    if (at(end - 1) == '\n') { // a string continued by a backslash
                        strstart_row = lnum;
                        strstart_col = start;
                        endprog = T->compile(single_end_pattern(token));
                        contstr = substring(line, start, max);
                        needcont = true;
                        contline = line;
                        break;
                    }
                    emit(T->STRING, token, lnum, start, lnum, end, line);
                } else if (is_identifier_start(initial)) {
                    emit(T->NAME, token, lnum, start, lnum, end, line);
                } else if (initial == '\\') {
                    continued = true;
                } else {
                    if (in(initial, "([{")) ++parenlev;
                    if (in(initial, ")]}")) --parenlev;
                    emit(T->OP, token, lnum, start, lnum, end, line);
                }
            }
        }
        // An implicit NEWLINE when the text does not end with one.
        Py_ssize_t last_size = PyUnicode_GET_LENGTH(last_line.ptr());
        if (last_size > 0 &&
            !in(PyUnicode_READ_CHAR(last_line.ptr(), last_size - 1), "\r\n") &&
            !support::truthy(last_line.attr("strip")().attr("startswith")("#")))
            emit(T->NEWLINE, borrow(T->empty), lnum - 1, last_size, lnum - 1,
                 last_size + 1, borrow(T->empty));
        for (size_t i = 1; i < indents.size(); ++i)
            emit(T->DEDENT, borrow(T->empty), lnum, 0, lnum, 0, borrow(T->empty));
        emit(T->ENDMARKER, borrow(T->empty), lnum, 0, lnum, 0, borrow(T->empty));
        return std::move(tokens);
    }

private:
    py::handle text;
    Py_ssize_t next_row_start = 0;
    std::vector<RawToken> tokens;

    py::object readline() {
        Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
        if (next_row_start >= size) return borrow(T->empty);
        Py_ssize_t found =
            PyUnicode_FindChar(text.ptr(), '\n', next_row_start, size, 1);
        if (found == -2) throw py::error_already_set();
        Py_ssize_t end = found < 0 ? size : found + 1;
        py::object row = substring(text, next_row_start, end);
        next_row_start = end;
        return row;
    }

    void emit(int type, py::object string, Py_ssize_t srow, Py_ssize_t scol,
              Py_ssize_t erow, Py_ssize_t ecol, py::object line) {
        tokens.push_back(
            {type, std::move(string), srow, scol, erow, ecol, std::move(line)});
    }

    static bool str_is(py::handle s, const char *ascii) {
        return PyUnicode_CompareWithASCIIString(s.ptr(), ascii) == 0;
    }

    static bool ends_with(py::handle s, const char *ascii) {
        Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(ascii)),
                   size = PyUnicode_GET_LENGTH(s.ptr());
        if (size < n) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyUnicode_READ_CHAR(s.ptr(), size - n + i) !=
                static_cast<Py_UCS4>(ascii[i]))
                return false;
        return true;
    }

    static py::object prefix(py::handle token, Py_ssize_t n) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(token.ptr());
        return substring(token, 0, std::min(n, size));
    }

    // initial in single_quoted or token[:2] in single_quoted or token[:3] in ...
    static bool quoted_prefix(py::handle token) {
        for (Py_ssize_t n = 1; n <= 3; ++n)
            if (support::contains(T->single_quoted, prefix(token, n))) return true;
        return false;
    }

    // endpats.get(initial) or endpats.get(token[1]) or endpats.get(token[2])
    static py::object single_end_pattern(py::handle token) {
        for (Py_ssize_t i = 0; i < 3; ++i) {
            py::object key = steal(PySequence_GetItem(token.ptr(), i));
            PyObject *found = PyDict_GetItemWithError(T->endpats.ptr(), key.ptr());
            if (found && PyObject_IsTrue(found)) return borrow(found);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        return py::none();
    }

    static bool is_identifier_start(Py_UCS4 c) {
        py::object s = steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
        return PyUnicode_IsIdentifier(s.ptr()) == 1;
    }
};

// asttokens' patched_generate_tokens: a run of touching NAME, NUMBER and ERRORTOKEN
// tokens on one row that holds an ERRORTOKEN is one NAME (identifiers the stdlib
// tokenizer splits).
std::vector<RawToken> merge_identifier_pieces(std::vector<RawToken> raw) {
    std::vector<RawToken> out;
    out.reserve(raw.size());
    std::vector<RawToken> group;
    auto flush = [&] {
        bool has_error = false, one_row = true;
        for (const RawToken &t : group)
            has_error = has_error || t.type == T->ERRORTOKEN;
        for (size_t i = 1; has_error && one_row && i < group.size(); ++i) {
            int same = PyObject_RichCompareBool(group[i].line.ptr(),
                                                group.front().line.ptr(), Py_EQ);
            if (same < 0) throw py::error_already_set();
            one_row = same == 1;
        }
        if (!has_error || !one_row) {
            for (RawToken &t : group)
                out.push_back(std::move(t));
        } else {
            py::list parts;
            for (const RawToken &t : group)
                parts.append(t.string);
            out.push_back({T->NAME, py::str("").attr("join")(parts), group.front().srow,
                           group.front().scol, group.back().erow, group.back().ecol,
                           group.front().line});
        }
        group.clear();
    };
    for (RawToken &tok : raw) {
        bool joins =
            tok.type == T->NAME || tok.type == T->ERRORTOKEN || tok.type == T->NUMBER;
        if (joins && (group.empty() || (group.back().erow == tok.srow &&
                                        group.back().ecol == tok.scol))) {
            group.push_back(std::move(tok));
        } else {
            flush();
            out.push_back(std::move(tok));
        }
    }
    flush();
    return out;
}

// Offsets of each row's first character, as asttokens' LineNumbers finds them.
std::vector<Py_ssize_t> row_offsets(py::handle text) {
    std::vector<Py_ssize_t> offsets{0};
    PyObject *t = text.ptr();
    Py_ssize_t size = PyUnicode_GET_LENGTH(t);
    int kind = PyUnicode_KIND(t);
    const void *data = PyUnicode_DATA(t);
    for (Py_ssize_t i = 0; i < size; ++i)
        if (PyUnicode_READ(kind, data, i) == '\n') offsets.push_back(i + 1);
    return offsets;
}

// LineNumbers.line_to_offset
Py_ssize_t line_to_offset(const std::vector<Py_ssize_t> &rows, Py_ssize_t size,
                          Py_ssize_t line, Py_ssize_t column) {
    line -= 1;
    if (line >= static_cast<Py_ssize_t>(rows.size())) return size;
    if (line < 0) return 0;
    return std::min(rows[line] + std::max<Py_ssize_t>(0, column), size);
}

py::object position(Py_ssize_t row, Py_ssize_t col) {
    return steal(Py_BuildValue("(nn)", row, col));
}

// asttokens' Token tuples of text, indexed and with their character offsets.
py::list make_tokens(py::handle text) {
    std::vector<RawToken> raw = merge_identifier_pieces(Tokenizer(text).run());
    std::vector<Py_ssize_t> rows = row_offsets(text);
    Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
    py::list out(raw.size());
    auto *type = reinterpret_cast<PyTypeObject *>(T->Token.ptr());
    for (size_t i = 0; i < raw.size(); ++i) {
        RawToken &t = raw[i];
        PyObject *token = type->tp_alloc(type, 8); // a namedtuple: a tuple subtype
        if (!token) throw py::error_already_set();
        PyObject *items[8] = {
            PyLong_FromLong(t.type),
            t.string.release().ptr(),
            position(t.srow, t.scol).release().ptr(),
            position(t.erow, t.ecol).release().ptr(),
            t.line.release().ptr(),
            PyLong_FromSsize_t(static_cast<Py_ssize_t>(i)),
            PyLong_FromSsize_t(line_to_offset(rows, size, t.srow, t.scol)),
            PyLong_FromSsize_t(line_to_offset(rows, size, t.erow, t.ecol)),
        };
        for (int k = 0; k < 8; ++k)
            PyTuple_SET_ITEM(token, k, items[k]);
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), token);
    }
    return out;
}

// How asttokens adjusts a node of a class after its children: its visit_<name> method,
// looked up by the lower-cased class name.
enum class Adjust {
    none,
    attribute,
    def,
    async_def,
    call,
    following_parens,
    subscript,
    slice,
    tuple,
    str,
    num,
    constant,
    keyword,
    starred,
    assign_name,
    async_,
    comprehension,
    if_
};

struct ClassFacts {
    Adjust adjust;
    bool stmt, module, slice_name, ast_node;
};

Adjust adjust_of(const std::string &lowered) {
    static const std::pair<const char *, Adjust> table[] = {
        {"attribute", Adjust::attribute},
        {"assignattr", Adjust::attribute},
        {"delattr", Adjust::attribute},
        {"classdef", Adjust::def},
        {"functiondef", Adjust::def},
        {"asyncfunctiondef", Adjust::async_def},
        {"call", Adjust::call},
        {"matchclass", Adjust::following_parens},
        {"subscript", Adjust::subscript},
        {"slice", Adjust::slice},
        {"tuple", Adjust::tuple},
        {"str", Adjust::str},
        {"joinedstr", Adjust::str},
        {"bytes", Adjust::str},
        {"num", Adjust::num},
        {"const", Adjust::constant},
        {"constant", Adjust::constant},
        {"keyword", Adjust::keyword},
        {"starred", Adjust::starred},
        {"assignname", Adjust::assign_name},
        {"asyncfor", Adjust::async_},
        {"asyncwith", Adjust::async_},
        {"comprehension", Adjust::comprehension},
        {"if", Adjust::if_},
    };
    for (auto &[name, adjust] : table)
        if (lowered == name) return adjust;
    return Adjust::none;
}

constexpr Py_ssize_t NO_TOKEN = -1;

// asttokens' MarkTokens over an astroid tree, on the token list of an ASTTokens.
class Marker {
public:
    Marker(py::handle tokens_list, py::handle text) : tokens(borrow(tokens_list)) {
        n = PyList_GET_SIZE(tokens.ptr());
        types.resize(n);
        strings.resize(n);
        ops.resize(n);
        starts.resize(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *token = PyList_GET_ITEM(tokens.ptr(), i);
            types[i] = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(token, 0)));
            strings[i] = PyTuple_GET_ITEM(token, 1);
            starts[i] = PyLong_AsSsize_t(PyTuple_GET_ITEM(token, 6));
            if (types[i] == T->OP && PyUnicode_GET_LENGTH(strings[i]) == 1)
                ops[i] = static_cast<char>(PyUnicode_READ_CHAR(strings[i], 0));
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        this->text = borrow(text);
        rows = row_offsets(text);
        ascii = PyUnicode_IS_ASCII(text.ptr());
    }

    void visit_tree(py::handle root) {
        struct Step {
            py::object node, children;
            Py_ssize_t parent_token, token;
            bool entered;
        };
        std::vector<Step> stack;
        stack.push_back({borrow(root), py::object(), NO_TOKEN, NO_TOKEN, false});
        std::unordered_set<PyObject *> done; // a node reached twice would loop forever
        while (!stack.empty()) {
            Step step = std::move(stack.back());
            stack.pop_back();
            if (step.entered) {
                after(step.node, step.children, step.parent_token, step.token);
                continue;
            }
            if (!done.insert(step.node.ptr()).second)
                support::raise(PyExc_ValueError, "a node of the tree is reached twice");
            Py_ssize_t token = before(step.node);
            Py_ssize_t for_children = token != NO_TOKEN ? token : step.parent_token;
            py::object children = children_of(step.node);
            PyObject *list = children.ptr();
            stack.push_back({step.node, children, step.parent_token, token, true});
            for (Py_ssize_t i = PyList_GET_SIZE(list); i-- > 0;)
                stack.push_back({borrow(PyList_GET_ITEM(list, i)), py::object(),
                                 for_children, NO_TOKEN, false});
        }
    }

private:
    py::object tokens, text;
    Py_ssize_t n;
    std::vector<int> types;
    std::vector<PyObject *> strings;
    std::vector<char> ops;
    std::vector<Py_ssize_t> starts, rows;
    bool ascii;
    std::unordered_map<Py_ssize_t, std::vector<Py_ssize_t>> utf8_columns;
    std::unordered_map<PyObject *, std::pair<Py_ssize_t, Py_ssize_t>> marks;
    std::unordered_map<PyTypeObject *, ClassFacts> facts_cache;

    // --- the token list, as ASTTokens walks it

    [[noreturn]] static void index_error() {
        support::raise(PyExc_IndexError, "list index out of range");
    }

    Py_ssize_t wrap(Py_ssize_t i) const { // a Python list index
        if (i < 0) i += n;
        if (i < 0 || i >= n) index_error();
        return i;
    }

    bool non_coding(Py_ssize_t i) const {
        int t = types[i];
        return t == T->NL || t == T->COMMENT || t == T->ENCODING;
    }

    Py_ssize_t next(Py_ssize_t i, bool extra = false) const {
        for (Py_ssize_t j = i + 1;; ++j) {
            Py_ssize_t k = wrap(j);
            if (extra || !non_coding(k)) return k;
        }
    }

    Py_ssize_t prev(Py_ssize_t i, bool extra = false) const {
        for (Py_ssize_t j = i - 1;; --j) {
            Py_ssize_t k = wrap(j);
            if (extra || !non_coding(k)) return k;
        }
    }

    bool string_is(Py_ssize_t i, const char *s) const {
        return PyUnicode_CompareWithASCIIString(strings[i], s) == 0;
    }

    bool match(Py_ssize_t i, int type, const char *s = nullptr) const {
        return types[i] == type && (!s || string_is(i, s));
    }

    bool op(Py_ssize_t i, char c) const { return ops[i] == c; }

    Py_ssize_t find(Py_ssize_t i, int type, const char *s, bool reverse = false) const {
        while (!match(i, type, s) && types[i] != T->ENDMARKER)
            i = reverse ? prev(i, true) : next(i, true);
        return i;
    }

    py::handle token_at(Py_ssize_t i) const { return PyList_GET_ITEM(tokens.ptr(), i); }

    // util.expect_token, which raises its own ValueError on a mismatch.
    void expect(Py_ssize_t i, int type, py::handle s = py::none()) const {
        if (!match(i, type) || (!s.is_none() && !borrow(strings[i]).equal(s)))
            T->expect_token(token_at(i), type, s);
    }

    // LineNumbers.from_utf8_col
    Py_ssize_t from_utf8_col(Py_ssize_t line, Py_ssize_t utf8_column) {
        Py_ssize_t count = static_cast<Py_ssize_t>(rows.size());
        Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
        Py_ssize_t first = line - 1 < 0 ? line - 1 + count : line - 1;
        if (first < 0 || first >= count) index_error();
        Py_ssize_t start = rows[first];
        Py_ssize_t end = line >= 0 && line < count ? rows[line] : size;
        if (line < 0) end = line + count >= 0 ? rows[line + count] : 0;
        Py_ssize_t length = std::max<Py_ssize_t>(0, end - start);
        if (ascii) return std::max<Py_ssize_t>(0, std::min(length, utf8_column));
        auto found = utf8_columns.find(line);
        if (found == utf8_columns.end()) {
            std::vector<Py_ssize_t> offsets;
            PyObject *t = text.ptr();
            for (Py_ssize_t i = 0; i < length; ++i) {
                Py_UCS4 c = PyUnicode_READ_CHAR(t, start + i);
                int bytes = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
                for (int b = 0; b < bytes; ++b)
                    offsets.push_back(i);
            }
            offsets.push_back(length);
            found = utf8_columns.emplace(line, std::move(offsets)).first;
        }
        const std::vector<Py_ssize_t> &offsets = found->second;
        Py_ssize_t last = static_cast<Py_ssize_t>(offsets.size()) - 1;
        return offsets[std::max<Py_ssize_t>(0, std::min(last, utf8_column))];
    }

    // ASTTokens.get_token: the token holding the position, or the one before it.
    Py_ssize_t get_token(Py_ssize_t line, Py_ssize_t column) const {
        Py_ssize_t offset =
            line_to_offset(rows, PyUnicode_GET_LENGTH(text.ptr()), line, column);
        auto after = std::upper_bound(starts.begin(), starts.end(), offset);
        return wrap(static_cast<Py_ssize_t>(after - starts.begin()) - 1);
    }

    // --- the visit

    const ClassFacts &facts(py::handle node) {
        PyTypeObject *type = Py_TYPE(node.ptr());
        auto found = facts_cache.find(type);
        if (found != facts_cache.end()) return found->second;
        std::string name = type->tp_name;
        if (auto dot = name.rfind('.'); dot != std::string::npos)
            name.erase(0, dot + 1);
        std::string lowered = name;
        for (char &c : lowered)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ClassFacts f{adjust_of(lowered),
                     support::contains(T->stmt_class_names, py::str(name)),
                     name == "Module", name == "Slice",
                     PyObject_IsInstance(node.ptr(), T->AST.ptr()) == 1};
        return facts_cache.emplace(type, f).first->second;
    }

    py::object children_of(py::handle node) {
        if (facts(node).adjust == Adjust::str && is_joined_str(node)) return py::list();
        return steal(PySequence_List(call_method(node, name<"get_children">()).ptr()));
    }

    static bool is_joined_str(py::handle node) {
        std::string name = Py_TYPE(node.ptr())->tp_name;
        return name == "JoinedStr" || name.ends_with(".JoinedStr");
    }

    Py_ssize_t before(py::handle node) {
        Py_ssize_t token = NO_TOKEN;
        py::object col = support::attr_or_none(node, name<"col_offset">());
        if (!col.is_none()) {
            py::object line = node.attr(name<"lineno">());
            if (!PyLong_Check(line.ptr()) || !PyLong_Check(col.ptr()))
                support::raise(PyExc_TypeError, "a node position that is not a number");
            Py_ssize_t row = line.cast<Py_ssize_t>();
            token = get_token(row, from_utf8_col(row, col.cast<Py_ssize_t>()));
        }
        if (token == NO_TOKEN && facts(node).module) token = get_token(1, 0);
        return token;
    }

    std::pair<Py_ssize_t, Py_ssize_t> marks_of(py::handle node) const {
        auto found = marks.find(node.ptr());
        if (found != marks.end()) return found->second;
        auto index = [&](py::handle name) {
            return py::object(node.attr(name)[py::int_(5)]).cast<Py_ssize_t>();
        };
        return {index(name<"first_token">()), index(name<"last_token">())};
    }

    bool is_empty_astroid_slice(py::handle node) {
        const ClassFacts &f = facts(node);
        if (!f.slice_name || f.ast_node) return false;
        return node.attr(name<"lower">()).is_none() &&
               node.attr(name<"upper">()).is_none() &&
               node.attr(name<"step">()).is_none();
    }

    void after(py::handle node, py::handle children, Py_ssize_t parent_token,
               Py_ssize_t token) {
        Py_ssize_t first = token, last = NO_TOKEN;
        for (py::handle child : children) {
            if (is_empty_astroid_slice(child)) continue;
            auto [child_first, child_last] = marks_of(child);
            if (first == NO_TOKEN || child_first < first) first = child_first;
            if (last == NO_TOKEN || child_last > last) last = child_last;
        }
        if (first == NO_TOKEN) first = parent_token;
        if (last == NO_TOKEN) last = first;
        if (first == NO_TOKEN)
            support::raise(PyExc_AttributeError,
                           "'NoneType' object has no attribute 'index'");
        const ClassFacts &f = facts(node);
        if (f.stmt) last = find_last_in_stmt(last);
        std::tie(first, last) = expand_to_matching_pairs(first, last);
        auto [nfirst, nlast] = adjust(f.adjust, node, children, first, last);
        if (nfirst != first || nlast != last)
            std::tie(nfirst, nlast) = expand_to_matching_pairs(nfirst, nlast);
        if (PyObject_SetAttr(node.ptr(), name<"first_token">().ptr(),
                             token_at(nfirst).ptr()) < 0 ||
            PyObject_SetAttr(node.ptr(), name<"last_token">().ptr(),
                             token_at(nlast).ptr()) < 0)
            throw py::error_already_set();
        marks[node.ptr()] = {nfirst, nlast};
    }

    Py_ssize_t find_last_in_stmt(Py_ssize_t t) const {
        while (!match(t, T->NEWLINE) && !op(t, ';') && types[t] != T->ENDMARKER)
            t = next(t, true);
        return prev(t);
    }

    std::pair<Py_ssize_t, Py_ssize_t> expand_to_matching_pairs(Py_ssize_t first,
                                                               Py_ssize_t last) const {
        std::string to_match_right, to_match_left;
        for (Py_ssize_t i = first; i <= last; ++i) {
            if (non_coding(i)) continue;
            char c = ops[i];
            if (!c) continue;
            if (!to_match_right.empty() && c == to_match_right.back())
                to_match_right.pop_back();
            else if (c == '(' || c == '[' || c == '{')
                to_match_right.push_back(c == '(' ? ')' : c == '[' ? ']' : '}');
            else if (c == ')' || c == ']' || c == '}')
                to_match_left.push_back(c == ')' ? '(' : c == ']' ? '[' : '{');
        }
        for (auto it = to_match_right.rbegin(); it != to_match_right.rend(); ++it) {
            Py_ssize_t candidate = next(last);
            while (op(candidate, ',') || op(candidate, ':'))
                candidate = next(candidate);
            if (op(candidate, *it)) last = candidate;
        }
        for (char c : to_match_left) {
            Py_ssize_t candidate = prev(first);
            if (op(candidate, c)) first = candidate;
        }
        return {first, last};
    }

    // MarkTokens._gobble_parens
    std::pair<Py_ssize_t, Py_ssize_t> gobble_parens(Py_ssize_t first, Py_ssize_t last,
                                                    bool include_all) const {
        while (first > 0) {
            Py_ssize_t before = prev(first), after = next(last);
            if (op(before, '(') && op(after, ')')) {
                first = before;
                last = after;
                if (include_all) continue;
            }
            break;
        }
        return {first, last};
    }

    Py_ssize_t following_brackets(py::handle children, Py_ssize_t last,
                                  const char *bracket) const {
        if (PyList_GET_SIZE(children.ptr()) == 0) {
            PyErr_SetNone(PyExc_StopIteration);
            throw py::error_already_set();
        }
        Py_ssize_t start =
            find(marks_of(PyList_GET_ITEM(children.ptr(), 0)).second, T->OP, bracket);
        return start > last ? start : last;
    }

    Py_ssize_t handle_str(Py_ssize_t last) const {
        for (Py_ssize_t t = next(last); match(t, T->STRING); t = next(last))
            last = t;
        return last;
    }

    std::pair<Py_ssize_t, Py_ssize_t> handle_num(py::object value, Py_ssize_t first,
                                                 Py_ssize_t last) const {
        while (match(last, T->OP))
            last = next(last);
        if (PyComplex_Check(value.ptr())) value = value.attr("imag");
        int negative = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT);
        if (negative < 0) throw py::error_already_set();
        if (negative && types[first] == T->NUMBER) first = prev(first);
        return {first, last};
    }

    static bool is_number(py::handle value) {
        PyObject *v = value.ptr();
        if (PyLong_Check(v) || PyFloat_Check(v) || PyComplex_Check(v)) return true;
        if (PyUnicode_Check(v) || PyBytes_Check(v) || v == Py_None) return false;
        int found = PyObject_IsInstance(v, T->Number.ptr());
        if (found < 0) throw py::error_already_set();
        return found == 1;
    }

    std::pair<Py_ssize_t, Py_ssize_t> adjust(Adjust kind, py::handle node,
                                             py::handle children, Py_ssize_t first,
                                             Py_ssize_t last) const {
        switch (kind) {
        case Adjust::none:
            break;
        case Adjust::comprehension:
            first = find(first, T->NAME, "for", true);
            break;
        case Adjust::if_:
            while (!string_is(first, "if") && !string_is(first, "elif"))
                first = prev(first);
            break;
        case Adjust::attribute: {
            Py_ssize_t name = next(find(last, T->OP, "."));
            expect(name, T->NAME);
            last = name;
            break;
        }
        case Adjust::async_def:
            if (match(first, T->NAME, "def")) first = prev(first);
            [[fallthrough]];
        case Adjust::def: {
            if (!support::truthy(node.attr(name<"body">())) &&
                (support::truthy(support::attr_or_none(node, name<"doc_node">())) ||
                 support::truthy(support::attr_or_none(node, name<"doc">()))))
                last = find(last, T->STRING, nullptr);
            if (first > 0) {
                Py_ssize_t before = prev(first);
                if (op(before, '@')) first = before;
            }
            break;
        }
        case Adjust::call:
            last = following_brackets(children, last, "(");
            if (op(first, '@')) first = next(first);
            break;
        case Adjust::following_parens:
            last = following_brackets(children, last, "(");
            break;
        case Adjust::subscript:
            last = following_brackets(children, last, "[");
            break;
        case Adjust::slice:
            for (Py_ssize_t t = prev(first); string_is(t, ":"); t = prev(first))
                first = t;
            for (Py_ssize_t t = next(last); string_is(t, ":"); t = next(last))
                last = t;
            break;
        case Adjust::tuple: {
            py::object elts = node.attr(name<"elts">());
            if (!support::truthy(elts)) break;
            auto [child_first, child_last] = marks_of(elts[py::int_(0)]);
            if (first == gobble_parens(child_first, child_last, true).first) {
                Py_ssize_t comma = next(last);
                if (op(comma, ',')) last = comma;
            }
            break;
        }
        case Adjust::str:
            last = handle_str(last);
            break;
        case Adjust::num:
            return handle_num(node.attr(name<"n">()), first, last);
        case Adjust::constant: {
            py::object value = node.attr(name<"value">());
            if (is_number(value)) return handle_num(value, first, last);
            if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
                last = handle_str(last);
            break;
        }
        case Adjust::keyword: {
            py::object arg = node.attr(name<"arg">());
            if (!arg.is_none() &&
                support::attr_or_none(node, name<"lineno">()).is_none()) {
                Py_ssize_t name = prev(find(first, T->OP, "=", true));
                expect(name, T->NAME, arg);
                first = name;
            }
            break;
        }
        case Adjust::starred:
            if (!op(first, '*')) {
                Py_ssize_t star = prev(first);
                if (op(star, '*')) first = star;
            }
            break;
        case Adjust::assign_name:
            if (match(first, T->NAME, "except"))
                first = last = prev(find(last, T->OP, ":"));
            break;
        case Adjust::async_:
            if (!string_is(first, "async")) first = prev(first);
            break;
        }
        return {first, last};
    }
};

// ASTTokens.__init__: text given without tokens is tokenised and marked here; any other
// call is asttokens' own (which still marks through mark_tokens below).
void ast_tokens_init(py::handle self, py::handle source_text, py::handle parse,
                     py::handle tree, py::handle filename, py::handle tokens) {
    if (!tokens.is_none() || support::truthy(parse)) {
        T->ASTTokens.attr("__init__")(self, source_text, parse, tree, filename, tokens);
        return;
    }
    T->ASTTextBase.attr("__init__")(self, source_text, filename);
    py::object text = self.attr(name<"_text">());
    if (!PyUnicode_Check(text.ptr()))
        support::raise(PyExc_TypeError, "source text must be str");
    py::setattr(self, name<"_tree">(), tree);
    CollectionPause pause;
    py::list made = make_tokens(text);
    py::setattr(self, name<"_tokens">(), made);
    py::list offsets(PyList_GET_SIZE(made.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(made.ptr()); ++i) {
        PyObject *start = PyTuple_GET_ITEM(PyList_GET_ITEM(made.ptr(), i), 6);
        Py_INCREF(start);
        PyList_SET_ITEM(offsets.ptr(), i, start);
    }
    py::setattr(self, name<"_token_offsets">(), offsets);
    if (support::truthy(tree)) self.attr(name<"mark_tokens">())(tree);
}

void mark_tokens(py::handle self, py::handle root_node) {
    if (!support::try_attr(root_node,
                           name<"get_children">())) { // a tree of the ast module
        T->ASTTokens.attr(name<"mark_tokens">())(self, root_node);
        return;
    }
    CollectionPause pause;
    Marker(self.attr(name<"_tokens">()), self.attr(name<"_text">()))
        .visit_tree(root_node);
}

void load_token_libs() {
    using support::import;
    using support::intern;
    auto *t = new TokenLibs();
    t->Token = import("asttokens.util", "Token");
    t->ASTTokens = import("asttokens", "ASTTokens");
    t->ASTTextBase = import("asttokens.asttokens", "ASTTextBase");
    py::handle tokenize = import("tokenize");
    t->compile = import("tokenize", "_compile");
    t->pseudo_match =
        py::object(t->compile(tokenize.attr("PseudoToken")).attr("match")).release();
    t->endpats = import("tokenize", "endpats");
    t->single_quoted = import("tokenize", "single_quoted");
    t->triple_quoted = import("tokenize", "triple_quoted");
    t->TokenError = import("tokenize", "TokenError");
    t->expect_token = import("asttokens.util", "expect_token");
    t->stmt_class_names = import("asttokens.util", "stmt_class_names");
    t->Number = import("numbers", "Number");
    t->AST = import("ast", "AST");
    t->empty = intern("");
    t->newline = intern("\n");
    py::handle token = import("token");
    for (auto [field, name] : std::initializer_list<std::pair<int *, const char *>>{
             {&t->NAME, "NAME"},
             {&t->NUMBER, "NUMBER"},
             {&t->STRING, "STRING"},
             {&t->NEWLINE, "NEWLINE"},
             {&t->INDENT, "INDENT"},
             {&t->DEDENT, "DEDENT"},
             {&t->OP, "OP"},
             {&t->COMMENT, "COMMENT"},
             {&t->NL, "NL"},
             {&t->ERRORTOKEN, "ERRORTOKEN"},
             {&t->ENDMARKER, "ENDMARKER"},
             {&t->ENCODING, "ENCODING"}})
        *field = token.attr(name).cast<int>();
    T = t;
}

// asttokens' class, tokenising and marking in C++.
py::handle make_ast_tokens_class() {
    py::dict ns;
    ns["__module__"] = "vorlane.staticanalysis.helpers";
    ns["__qualname__"] = "ASTTokens";
    ns["__doc__"] = "asttokens.ASTTokens, tokenising and marking trees in C++.";
    py::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    py::object cls = type("ASTTokens", py::make_tuple(T->ASTTokens), ns);
    support::def_method(cls, "__init__", &ast_tokens_init, py::arg("source_text"),
                        py::arg("parse") = false, py::arg("tree") = py::none(),
                        py::arg("filename") = "<unknown>",
                        py::arg("tokens") = py::none());
    support::def_method(cls, "mark_tokens", &mark_tokens, py::arg("root_node"));
    return cls.release();
}

} // namespace

namespace tokens {

py::handle ast_tokens_class() {
    static py::handle cls = [] {
        load_token_libs();
        return make_ast_tokens_class();
    }();
    return cls;
}

} // namespace tokens
