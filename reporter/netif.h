// The node's public IPv4 interfaces, their byte counters from the kernel's
// statistics file, and the small text tools that parse them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Path of the kernel's per-interface counters file.
extern const char *const NET;

// Rows of the interface tables: the reporter serves at most this many interfaces.
const int MAX_INTERFACE = 10;

// Fills up to MAX_INTERFACE rows of ethName (interface names) and IPs (dotted-quad
// texts) with the node's public IPv4 addresses, last kernel record first. Returns
// the rows filled, 0 to MAX_INTERFACE; 0 also when the socket or the interface-list
// request fails.
int GetLocalIP(char ethName[MAX_INTERFACE][64], char IPs[MAX_INTERFACE][64]);

// 1 when ip_addr (host order) is in 10/8, 172.16/12, 192.168/16 or is 127.0.0.1;
// else 0. The rest of 127/8 counts as public.
int CheckInternalIP(uint32_t ip_addr);

// Reads the received (In) and transmitted (Out) byte counters of ethName from NET.
// Returns 1 when a line matched and split into 16 counters, else 0 with both untouched.
int GetBW(uint64_t &In, uint64_t &Out, const char *ethName);
// As GetBW, from the counters file pszFile.
int GetBWFromFile(uint64_t &In, uint64_t &Out, const char *ethName, const char *pszFile);
// One line of the counters file: 1 and the counters when pszLine (modified: trimmed)
// begins with ethName and a colon and carries 16 counters after them; else 0.
int ParseCounterLine(char *pszLine, const char *ethName, uint64_t &In, uint64_t &Out);

// Removes blanks, tabs, CR and LF from both ends in place; returns String (null stays null).
char *Trim(char *String);

// Appends to resutl the non-empty pieces of p between separators s; returns how many.
// A null p gives 0.
int strsplit(const char *p, std::vector<std::string> &resutl, char s);

// Splits "addr[:port]": strIP gets the text before the first ':', Port what atoi reads
// after it. Without ':' strIP is the whole item and Port keeps its value. Returns 0.
int IPPortSplit(std::string strIPPort, std::string &strIP, int &Port);
