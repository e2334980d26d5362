// The numbers that the front end's Lua keeps for the C side (cachenode/sys.lua,
// the library's limits in cachenode/names.lua and OpenSSL's in
// cachenode/crypto.lua), printed from the headers,
// one "NAME VALUE" a line, and the texts as NAME "TEXT";
// tests/frontend/lua/ffi_test.lua holds the Lua's against them.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

#include "cachekit/uri.h"

#define PRINT(name, value) std::printf("%s %lld\n", name, static_cast<long long>(value))
#define NUMBER(name) PRINT(#name, name)
#define TEXT(name) std::printf("%s \"%s\"\n", #name, name)

int main() {
    NUMBER(EPERM);
    NUMBER(ENOENT);
    NUMBER(EEXIST);
    NUMBER(ENXIO);
    NUMBER(EIO);
    NUMBER(EAGAIN);
    NUMBER(EINVAL);
    NUMBER(EROFS);
    NUMBER(ENOSYS);
    NUMBER(EOPNOTSUPP);
    NUMBER(EUCLEAN);
    NUMBER(O_RDONLY);
    NUMBER(O_WRONLY);
    NUMBER(O_CREAT);
    NUMBER(O_EXCL);
    NUMBER(O_CLOEXEC);
    NUMBER(O_DIRECTORY);
    NUMBER(SEEK_DATA);
    NUMBER(SEEK_HOLE);
    NUMBER(RWF_NOWAIT);
    NUMBER(POSIX_FADV_WILLNEED);
    NUMBER(S_IFMT);
    NUMBER(S_IFDIR);
    NUMBER(S_IFREG);
    NUMBER(AF_INET);
    NUMBER(AF_INET6);
    NUMBER(SIGKILL);
    NUMBER(SIGPIPE);
    NUMBER(SIGCHLD);
    NUMBER(WNOHANG);
    NUMBER(POSIX_SPAWN_SETSIGDEF);
    NUMBER(POSIX_SPAWN_SETSIGMASK);
    NUMBER(POSIX_SPAWN_SETSID);
    PRINT("SIZEOF_POSIX_SPAWNATTR_T", sizeof(posix_spawnattr_t));
    PRINT("SIZEOF_POSIX_SPAWN_FILE_ACTIONS_T", sizeof(posix_spawn_file_actions_t));
    PRINT("SIZEOF_SIGSET_T", sizeof(sigset_t));
    PRINT("sizeof stat", sizeof(struct stat));
    PRINT("offsetof stat st_dev", offsetof(struct stat, st_dev));
    PRINT("offsetof stat st_ino", offsetof(struct stat, st_ino));
    PRINT("offsetof stat st_mode", offsetof(struct stat, st_mode));
    PRINT("offsetof stat st_size", offsetof(struct stat, st_size));
    PRINT("offsetof stat st_blksize", offsetof(struct stat, st_blksize));
    PRINT("offsetof stat st_blocks", offsetof(struct stat, st_blocks));
    PRINT("sizeof statfs", sizeof(struct statfs));
    PRINT("offsetof statfs f_blocks", offsetof(struct statfs, f_blocks));
    PRINT("offsetof statfs f_bavail", offsetof(struct statfs, f_bavail));
    PRINT("offsetof statfs f_frsize", offsetof(struct statfs, f_frsize));
    PRINT("offsetof dirent d_name", offsetof(struct dirent, d_name));
    PRINT("sizeof iovec", sizeof(struct iovec));
    PRINT("offsetof iovec iov_len", offsetof(struct iovec, iov_len));
    NUMBER(URL_TEXT_MAX);
    NUMBER(DIR_NAME_MAX);
    NUMBER(DIRS_TEXT_MAX);
    PRINT("PATH_MAX_BYTES", URI_PATH_MAX);
    NUMBER(SHA256_DIGEST_LENGTH);
    NUMBER(EVP_PKEY_PUBLIC_KEY);
    TEXT(OSSL_PKEY_PARAM_GROUP_NAME);
    TEXT(OSSL_PKEY_PARAM_PUB_KEY);
    TEXT(OSSL_MAC_NAME_HMAC);
    TEXT(OSSL_MAC_PARAM_DIGEST);
    TEXT(OSSL_DIGEST_NAME_SHA2_256);
    return 0;
}
