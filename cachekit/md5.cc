// placeholder until the MD5 engine lands
#include "md5.h"

void md5Init(Md5Context *) {}
void md5Update(Md5Context *, const void *, uint64_t) {}
void md5Final(Md5Context *, unsigned char digest[16]) { for (int i = 0; i < 16; ++i) digest[i] = 0; }
std::string md5Hex(const char *, int) { return std::string(32, '0'); }
std::string md5FileHex(const char *) { return std::string(32, '0'); }
