// Hand-made DNS messages for the resolver's tests and the DNS peers (RFC 1035
// layout, big-endian).
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace dnsreply {

typedef std::vector<unsigned char> Bytes;

inline void Put16(Bytes &out, unsigned nValue) {
    out.push_back(static_cast<unsigned char>(nValue >> 8));
    out.push_back(static_cast<unsigned char>(nValue));
}

// A name as QNAME: a length byte and the bytes of each label, then a zero byte.
inline Bytes EncodeName(const std::string &strName) {
    Bytes out;
    size_t nStart = 0;
    while (nStart <= strName.size()) {
        size_t nDot = strName.find('.', nStart);
        if (nDot == std::string::npos) nDot = strName.size();
        out.push_back(static_cast<unsigned char>(nDot - nStart));
        out.insert(out.end(), strName.begin() + nStart, strName.begin() + nDot);
        nStart = nDot + 1;
    }
    out.push_back(0);
    return out;
}

// A query's bytes as the resolver should send them.
inline Bytes Query(unsigned nId, const std::string &strName) {
    Bytes out;
    Put16(out, nId);
    for (unsigned n : {0x0100u, 1u, 0u, 0u, 0u}) Put16(out, n);
    Bytes qname = EncodeName(strName);
    out.insert(out.end(), qname.begin(), qname.end());
    Put16(out, 1);
    Put16(out, 1);
    return out;
}

// A record of class IN, TTL 3600; nOwner 0xC00C points at the question's name.
inline Bytes ARecord(unsigned a, unsigned b, unsigned c, unsigned d, unsigned nOwner = 0xC00C) {
    Bytes out;
    for (unsigned n : {nOwner, 1u, 1u, 0u, 3600u, 4u}) Put16(out, n);
    for (unsigned n : {a, b, c, d}) out.push_back(static_cast<unsigned char>(n));
    return out;
}

// CNAME record of the question's name for strTarget; the target's name starts 12
// bytes into the record.
inline Bytes CnameRecord(const std::string &strTarget) {
    Bytes target = EncodeName(strTarget);
    Bytes out;
    for (unsigned n : {0xC00Cu, 5u, 1u, 0u, 3600u, static_cast<unsigned>(target.size())})
        Put16(out, n);
    out.insert(out.end(), target.begin(), target.end());
    return out;
}

// Reply to query: its ID and question, flags QR RD RA and nRcode, ANCOUNT nAnCount,
// then the answer bytes.
inline Bytes Reply(const Bytes &query, unsigned nAnCount, const Bytes &answers,
                   unsigned nRcode = 0) {
    Bytes out(query.begin(), query.begin() + 2);
    Put16(out, 0x8180 | nRcode);
    Put16(out, 1);
    Put16(out, nAnCount);
    Put16(out, 0);
    Put16(out, 0);
    out.insert(out.end(), query.begin() + 12, query.end());
    out.insert(out.end(), answers.begin(), answers.end());
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Reply to query with one A record of the question's name per address, in order.
inline Bytes Addresses(const Bytes &query, const std::vector<std::array<unsigned, 4>> &listAddr) {
    Bytes answers;
    for (const auto &a : listAddr) answers = Cat({answers, ARecord(a[0], a[1], a[2], a[3])});
    return Reply(query, static_cast<unsigned>(listAddr.size()), answers);
}

// Labels of at most 63 bytes joined by dots, nLen bytes in all.
inline std::string NameOfLength(size_t nLen) {
    std::string strName;
    while (strName.size() < nLen) {
        if (!strName.empty()) strName += '.';
        strName += std::string(std::min<size_t>(63, nLen - strName.size()), 'a');
    }
    return strName;
}

}  // namespace dnsreply
