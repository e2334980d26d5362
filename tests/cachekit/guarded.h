// Bytes placed so that the last one is followed by an inaccessible page: any
// read past the end faults at once instead of passing unnoticed.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

class CGuarded {
public:
    explicit CGuarded(const std::string &strBytes) {
        const size_t nPage = (size_t)sysconf(_SC_PAGESIZE);
        m_nSize = (strBytes.size() + nPage - 1) / nPage * nPage + nPage;
        void *pMap =
            mmap(nullptr, m_nSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pMap == MAP_FAILED) return;
        m_pMap = static_cast<char *>(pMap);
        char *pGuard = m_pMap + m_nSize - nPage;
        mprotect(pGuard, nPage, PROT_NONE);
        m_pBytes = pGuard - strBytes.size();
        std::memcpy(m_pBytes, strBytes.data(), strBytes.size());
    }
    // A text with its NUL as the last accessible byte.
    static CGuarded Text(const std::string &strText) {
        return CGuarded(std::string(strText.c_str(), strText.size() + 1));
    }
    ~CGuarded() {
        if (m_pMap != nullptr) munmap(m_pMap, m_nSize);
    }
    CGuarded(CGuarded &&other)
        : m_pMap(other.m_pMap), m_nSize(other.m_nSize), m_pBytes(other.m_pBytes) {
        other.m_pMap = nullptr;
    }
    CGuarded(const CGuarded &) = delete;
    CGuarded &operator=(const CGuarded &) = delete;

    const char *Bytes() const { return m_pBytes; }

private:
    char *m_pMap = nullptr;
    size_t m_nSize = 0;
    char *m_pBytes = nullptr;
};
