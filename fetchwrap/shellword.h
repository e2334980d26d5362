// Carrying file names and URL parts into shell command lines as data, never as code.
#pragma once

#include <string>

// True when every byte of str is a letter, a digit or one of / . _ - + , : @ % = :
// bytes that mean nothing to the shell, so that str stands for itself unquoted.
// The empty text is plain.
bool IsShellPlain(const std::string &str);

// str unchanged when it is plain (and not empty, unless bAllowEmpty), else str
// single-quoted, a ' written as '\''. Between single quotes the shell reads every
// byte literally, newlines included, so the result is one word for any text
// without NUL. bAllowEmpty is for a text that sits inside a larger word.
std::string ShellWord(const std::string &str, bool bAllowEmpty);
