-- cachenode.crypto: OpenSSL's libcrypto through LuaJIT's FFI, as the signed
-- URLs use it: SHA-256, HMAC-SHA-256 (HS256) and ECDSA P-256 with SHA-256
-- (ES256). nginx links libcrypto, so its symbols are found through ffi.C.
-- The declarations below are compiled after OpenSSL's headers by the ffi
-- test, and the numbers and names are held to them by sys_probe.

local ffi = require "ffi"

local C = ffi.C
local ffi_new = ffi.new
local ffi_string = ffi.string
local ffi_gc = ffi.gc
local pcall = pcall
local sub = string.sub
local rep = string.rep
local tostring = tostring


local _M = { _VERSION = "1.0" }

-- <openssl/sha.h>, <openssl/evp.h>, <openssl/core_names.h>
_M.SHA256_DIGEST_LENGTH = 32
_M.EVP_PKEY_PUBLIC_KEY = 134
_M.OSSL_PKEY_PARAM_GROUP_NAME = "group"
_M.OSSL_PKEY_PARAM_PUB_KEY = "pub"
_M.OSSL_MAC_NAME_HMAC = "HMAC"
_M.OSSL_MAC_PARAM_DIGEST = "digest"
_M.OSSL_DIGEST_NAME_SHA2_256 = "SHA2-256"
-- The P-256 group's name for OpenSSL, and a point's coordinate in bytes
-- (RFC 7518, 6.2.1.2); an ES256 signature is R || S, each that long
-- (RFC 7518, 3.4).
local GROUP = "prime256v1"
local COORD = 32
local SIGNATURE = 2 * COORD

ffi.cdef[[
typedef struct evp_md_st EVP_MD;
typedef struct evp_md_ctx_st EVP_MD_CTX;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_pkey_ctx_st EVP_PKEY_CTX;
typedef struct engine_st ENGINE;
typedef struct ossl_lib_ctx_st OSSL_LIB_CTX;
typedef struct ossl_param_st OSSL_PARAM;
typedef struct ossl_param_bld_st OSSL_PARAM_BLD;
typedef struct ECDSA_SIG_st ECDSA_SIG;
typedef struct bignum_st BIGNUM;
typedef struct evp_mac_st EVP_MAC;
typedef struct evp_mac_ctx_st EVP_MAC_CTX;

const EVP_MD *EVP_sha256(void);
int EVP_Digest(const void *data, size_t count, unsigned char *md, unsigned int *size,
               const EVP_MD *type, ENGINE *impl);
EVP_MAC *EVP_MAC_fetch(OSSL_LIB_CTX *libctx, const char *algorithm, const char *properties);
void EVP_MAC_free(EVP_MAC *mac);
EVP_MAC_CTX *EVP_MAC_CTX_new(EVP_MAC *mac);
void EVP_MAC_CTX_free(EVP_MAC_CTX *ctx);
int EVP_MAC_init(EVP_MAC_CTX *ctx, const unsigned char *key, size_t keylen, const OSSL_PARAM *params);
int EVP_MAC_update(EVP_MAC_CTX *ctx, const unsigned char *data, size_t datalen);
int EVP_MAC_final(EVP_MAC_CTX *ctx, unsigned char *out, size_t *outl, size_t outsize);
int CRYPTO_memcmp(const void *in_a, const void *in_b, size_t len);
void ERR_clear_error(void);

OSSL_PARAM_BLD *OSSL_PARAM_BLD_new(void);
int OSSL_PARAM_BLD_push_utf8_string(OSSL_PARAM_BLD *bld, const char *key,
                                    const char *buf, size_t bsize);
int OSSL_PARAM_BLD_push_octet_string(OSSL_PARAM_BLD *bld, const char *key,
                                     const void *buf, size_t bsize);
OSSL_PARAM *OSSL_PARAM_BLD_to_param(OSSL_PARAM_BLD *bld);
void OSSL_PARAM_BLD_free(OSSL_PARAM_BLD *bld);
void OSSL_PARAM_free(OSSL_PARAM *p);
EVP_PKEY_CTX *EVP_PKEY_CTX_new_from_name(OSSL_LIB_CTX *libctx, const char *name,
                                         const char *propquery);
EVP_PKEY_CTX *EVP_PKEY_CTX_new_from_pkey(OSSL_LIB_CTX *libctx, EVP_PKEY *pkey,
                                         const char *propquery);
void EVP_PKEY_CTX_free(EVP_PKEY_CTX *ctx);
int EVP_PKEY_fromdata_init(EVP_PKEY_CTX *ctx);
int EVP_PKEY_fromdata(EVP_PKEY_CTX *ctx, EVP_PKEY **ppkey, int selection, OSSL_PARAM *params);
int EVP_PKEY_public_check(EVP_PKEY_CTX *ctx);
void EVP_PKEY_free(EVP_PKEY *pkey);

ECDSA_SIG *ECDSA_SIG_new(void);
void ECDSA_SIG_free(ECDSA_SIG *sig);
int ECDSA_SIG_set0(ECDSA_SIG *sig, BIGNUM *r, BIGNUM *s);
int i2d_ECDSA_SIG(const ECDSA_SIG *sig, unsigned char **pp);
BIGNUM *BN_bin2bn(const unsigned char *s, int len, BIGNUM *ret);
void BN_free(BIGNUM *a);
EVP_MD_CTX *EVP_MD_CTX_new(void);
void EVP_MD_CTX_free(EVP_MD_CTX *ctx);
int EVP_DigestVerifyInit(EVP_MD_CTX *ctx, EVP_PKEY_CTX **pctx, const EVP_MD *type,
                         ENGINE *e, EVP_PKEY *pkey);
int EVP_DigestVerify(EVP_MD_CTX *ctx, const unsigned char *sigret, size_t siglen,
                     const unsigned char *tbs, size_t tbslen);
]]

local DIGEST = _M.SHA256_DIGEST_LENGTH
local md_buf = ffi_new("unsigned char[?]", DIGEST)
local md_len = ffi_new("unsigned int[1]")
local mac_len = ffi_new("size_t[1]")
-- A DER ECDSA-Sig-Value of two 32-byte integers: a SEQUENCE of two INTEGERs,
-- each at most 33 bytes (a leading zero), so under 80 bytes.
local DER_MAX = 80
local der_buf = ffi_new("unsigned char[?]", DER_MAX)
local der_ptr = ffi_new("unsigned char *[1]")
local pkey_out = ffi_new("EVP_PKEY *[1]")
local found, sha256 = pcall(function() return C.EVP_sha256() end)


-- Whether the process has libcrypto's symbols (nginx built with OpenSSL);
-- or nil and the reason. Nothing else here may be called without them.
function _M.available()
    if not found or sha256 == nil then
        return nil, "libcrypto is not in the nginx process (EVP_sha256: " .. tostring(sha256) .. ")"
    end
    return true
end


-- The SHA-256 digest of data, 32 bytes.
function _M.sha256(data)
    if C.EVP_Digest(data, #data, md_buf, md_len, sha256, nil) ~= 1 then
        C.ERR_clear_error()
        return nil, "EVP_Digest failed"
    end
    return ffi_string(md_buf, DIGEST)
end


-- OSSL_PARAM_BLD's parameters of one UTF-8 string (name = text), which the
-- caller frees with OSSL_PARAM_free; or nil.
local function utf8_param(name, text)
    local bld = C.OSSL_PARAM_BLD_new()
    if bld == nil then
        return nil
    end
    local params = C.OSSL_PARAM_BLD_push_utf8_string(bld, name, text, #text) == 1
                   and C.OSSL_PARAM_BLD_to_param(bld) or nil
    C.OSSL_PARAM_BLD_free(bld)
    return params ~= nil and params or nil
end


-- An HMAC-SHA-256 context keyed with secret, for hmac(); or nil and the
-- reason. The key's pads are worked out here once: OpenSSL's one-shot
-- HMAC() fetches the MAC and the digest by name and keys a new context on
-- every call, two thirds of an HS256 token's check.
function _M.hmac_key(secret)
    local mac = C.EVP_MAC_fetch(nil, _M.OSSL_MAC_NAME_HMAC, nil)
    local ctx = mac ~= nil and C.EVP_MAC_CTX_new(mac) or nil
    -- The context holds the MAC itself.
    if mac ~= nil then
        C.EVP_MAC_free(mac)
    end
    if ctx == nil then
        C.ERR_clear_error()
        return nil, "EVP_MAC_CTX_new(HMAC) failed"
    end
    ctx = ffi_gc(ctx, C.EVP_MAC_CTX_free)
    local params = utf8_param(_M.OSSL_MAC_PARAM_DIGEST, _M.OSSL_DIGEST_NAME_SHA2_256)
    local keyed = params and C.EVP_MAC_init(ctx, secret, #secret, params) == 1
    if params then
        C.OSSL_PARAM_free(params)
    end
    if not keyed then
        C.ERR_clear_error()
        return nil, "EVP_MAC_init(HMAC, SHA2-256) failed"
    end
    return ctx
end


-- HMAC-SHA-256 of data under the key of ctx (hmac_key()'s), 32 bytes. An
-- init without a key begins a MAC with the one ctx holds.
function _M.hmac(ctx, data)
    if C.EVP_MAC_init(ctx, nil, 0, nil) ~= 1 or C.EVP_MAC_update(ctx, data, #data) ~= 1
       or C.EVP_MAC_final(ctx, md_buf, mac_len, DIGEST) ~= 1 then
        C.ERR_clear_error()
        return nil, "HMAC failed"
    end
    return ffi_string(md_buf, DIGEST)
end


-- Whether two texts of the same length are equal, in time that does not
-- depend on where they differ.
function _M.equal(a, b)
    return #a == #b and C.CRYPTO_memcmp(a, b, #a) == 0
end


-- The public key of the P-256 point (x, y), each 32 bytes big-endian (a
-- JWK's "x" and "y" decoded), for es256_verify(); or nil and the reason. The
-- point must lie on the curve: OpenSSL's public key check.
function _M.p256_public_key(x, y)
    -- RFC 7518 (6.2.1.2) wants each coordinate at its full 32 bytes, but
    -- python3-jwt and other tools write the integer's shortest form, which
    -- for one key in 128 drops a leading zero byte: the same number.
    if #x > COORD or #y > COORD or #x == 0 or #y == 0 then
        return nil, "a P-256 coordinate is at most " .. COORD .. " bytes"
    end
    x = rep("\0", COORD - #x) .. x
    y = rep("\0", COORD - #y) .. y
    local bld = C.OSSL_PARAM_BLD_new()
    if bld == nil then
        return nil, "OSSL_PARAM_BLD_new failed"
    end
    -- SEC 1's uncompressed point: 0x04, X, Y.
    local point = "\4" .. x .. y
    local params
    if C.OSSL_PARAM_BLD_push_utf8_string(bld, _M.OSSL_PKEY_PARAM_GROUP_NAME, GROUP, #GROUP) == 1
       and C.OSSL_PARAM_BLD_push_octet_string(bld, _M.OSSL_PKEY_PARAM_PUB_KEY, point, #point) == 1
    then
        params = C.OSSL_PARAM_BLD_to_param(bld)
    end
    C.OSSL_PARAM_BLD_free(bld)
    if params == nil then
        C.ERR_clear_error()
        return nil, "OSSL_PARAM_BLD failed"
    end
    local ctx = C.EVP_PKEY_CTX_new_from_name(nil, "EC", nil)
    pkey_out[0] = nil
    local made = ctx ~= nil and C.EVP_PKEY_fromdata_init(ctx) == 1
                 and C.EVP_PKEY_fromdata(ctx, pkey_out, _M.EVP_PKEY_PUBLIC_KEY, params) == 1
    C.OSSL_PARAM_free(params)
    if ctx ~= nil then
        C.EVP_PKEY_CTX_free(ctx)
    end
    if not made then
        C.ERR_clear_error()
        return nil, "not a P-256 public key (EVP_PKEY_fromdata)"
    end
    local pkey = ffi_gc(pkey_out[0], C.EVP_PKEY_free)
    local check = C.EVP_PKEY_CTX_new_from_pkey(nil, pkey, nil)
    local on_curve = check ~= nil and C.EVP_PKEY_public_check(check) == 1
    if check ~= nil then
        C.EVP_PKEY_CTX_free(check)
    end
    if not on_curve then
        C.ERR_clear_error()
        return nil, "the point is not on the P-256 curve"
    end
    return pkey
end


-- The DER form OpenSSL verifies of a JWS ES256 signature (R || S), built by
-- OpenSSL's own encoder: its length in der_buf, or nil.
local function der_of(sig)
    local ecsig = C.ECDSA_SIG_new()
    if ecsig == nil then
        return nil
    end
    local r = C.BN_bin2bn(sig, COORD, nil)
    local s = C.BN_bin2bn(sub(sig, COORD + 1), COORD, nil)
    if r == nil or s == nil or C.ECDSA_SIG_set0(ecsig, r, s) ~= 1 then
        if r ~= nil then C.BN_free(r) end
        if s ~= nil then C.BN_free(s) end
        C.ECDSA_SIG_free(ecsig)
        return nil
    end
    -- i2d writes at *pp and moves it; the length first keeps the buffer's
    -- bound checked.
    local len = C.i2d_ECDSA_SIG(ecsig, nil)
    if len <= 0 or len > DER_MAX then
        C.ECDSA_SIG_free(ecsig)
        return nil
    end
    der_ptr[0] = der_buf
    len = C.i2d_ECDSA_SIG(ecsig, der_ptr)
    C.ECDSA_SIG_free(ecsig)
    return len > 0 and len or nil
end


-- Whether sig (R || S, 64 bytes) is pkey's ES256 signature of data.
function _M.es256_verify(pkey, data, sig)
    if #sig ~= SIGNATURE then
        return false
    end
    local len = der_of(sig)
    if not len then
        C.ERR_clear_error()
        return false
    end
    local ctx = C.EVP_MD_CTX_new()
    if ctx == nil then
        return false
    end
    local ok = C.EVP_DigestVerifyInit(ctx, nil, sha256, nil, pkey) == 1
               and C.EVP_DigestVerify(ctx, der_buf, len, data, #data) == 1
    C.EVP_MD_CTX_free(ctx)
    if not ok then
        C.ERR_clear_error()
    end
    return ok
end


return _M
