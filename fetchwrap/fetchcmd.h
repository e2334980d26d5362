// The wrapper's pure pieces: the port as read from kelpserver.conf and the
// transfer client's command line built from a URL and an output path.
#pragma once

#include <cstddef>

const int FETCH_DEFAULT_PORT = 8566;
const size_t FETCH_HOST_SIZE = 128;  // the host part's buffer
const size_t FETCH_CMD_SIZE = 1024;  // the client command's buffer

// The port text read as atoi reads it (leading blanks, an optional sign, decimal
// digits; anything else ends the number, no digits give 0), clamped to int.
int ParsePort(const char *pszValue);

enum {
    FETCH_CMD_OK = 1,
    FETCH_CMD_NO_PATH = 0,         // no '/' after the optional "http://"
    FETCH_CMD_HOST_TOO_LONG = -1,  // host part over 127 characters
    FETCH_CMD_TOO_LONG = -2,       // command over 1023 characters
};

// Formats "kelpclient tulaudp://<host>:<port>/<path> <output>" into szCmd
// (FETCH_CMD_SIZE bytes). A leading "http://" of pszUrl is dropped (case
// counts); the host is the text before the first '/', cut at its first ':';
// the path is everything after that '/'. Host, path and output are each
// single-quoted when they hold bytes that are not shell-plain (the output also
// when empty), so that the client always gets exactly two arguments; plain
// texts stand as they are. Returns one of the FETCH_CMD_ values; on anything
// but FETCH_CMD_OK szCmd is empty and the client must not be started.
int BuildClientCommand(const char *pszUrl, int nPort, const char *pszOutput, char *szCmd);
