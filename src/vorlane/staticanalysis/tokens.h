// The token layer: asttokens' tokenizer and token marker in C++ (tokens.cpp).
#pragma once

#include "support.h"

namespace tokens {

// A subclass of asttokens.ASTTokens whose constructor, given source text and an astroid
// tree, tokenises the text and marks every node's first_token and last_token in C++,
// exactly as asttokens would; any other use is asttokens' own. Made once, at the first
// call, and kept for the life of the process.
py::handle ast_tokens_class();

} // namespace tokens
