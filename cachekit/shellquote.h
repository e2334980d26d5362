// Carrying file names and URLs into generated shell commands as data, never as code.
#pragma once

#include <string>

// True when str is not empty, does not begin with '-' and holds only letters,
// digits and / . _ - + , : @ % = : bytes that mean nothing to the shell, to a
// find pattern or to curl's URL globbing, so that str stands for itself as a bare
// word, as a pattern and inside double quotes.
bool isShellPlain(const std::string &str);

// As isShellPlain, but '?' and '&' are allowed too and a leading '-' is not
// refused: for a URL that only ever stands inside double quotes, where '?' and
// '&' mean nothing (query strings need them).
bool isShellPlainUrl(const std::string &str);

// str as one single-quoted shell word: 'it'\''s' for it's. The shell reads every
// byte between single quotes literally (newlines included), also inside a
// command substitution, so the word carries any text that holds no NUL.
std::string shellSingleQuote(const std::string &str);

// An fnmatch pattern (find -lname) that matches exactly the text str: each of
// * ? [ ] \ gets a backslash in front.
std::string findPatternEscape(const std::string &str);
