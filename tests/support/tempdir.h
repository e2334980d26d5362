// A temporary directory that lives as long as the object and is removed with it.
#pragma once

#include <string>

namespace testsupport {

class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir &) = delete;
    CTempDir &operator=(const CTempDir &) = delete;

    const std::string &Path() const { return m_strPath; }
    // Path of a name inside the directory.
    std::string File(const std::string &strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};

// Writes strText to pszPath, replacing it; true when all of it was written.
bool WriteFile(const std::string &strPath, const std::string &strText);
// The whole content of the file, or the empty text when it cannot be read.
std::string ReadFile(const std::string &strPath);
// True when something exists at strPath (links not followed).
bool Exists(const std::string &strPath);

}  // namespace testsupport
