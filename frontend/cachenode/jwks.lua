-- cachenode.jwks: the signed URLs' keys, a JWK Set (RFC 7517, 5) read from
-- a file when nginx starts or reloads. Each key has a kid and is one of:
--   {"kty":"oct","kid":K,"k":SECRET}                 HS256, 32 bytes or more
--   {"kty":"EC","crv":"P-256","kid":K,"x":X,"y":Y}   ES256, the public key only
-- with "alg", "use" and "key_ops", when given, agreeing; "iss", when given,
-- is the issuer whose tokens the key signs (RFC 9246, 2.1.1). Anything else
-- is refused with the reason, so that a start or a reload with a bad file
-- fails instead of serving with fewer keys.

local cjson = require "cjson.safe"
local crypto = require "cachenode.crypto"
local token = require "cachenode.token"

local type = type
local ipairs = ipairs
local tostring = tostring
local open = io.open


local _M = { _VERSION = "1.0" }

-- Bounds of a key file: far beyond any site's rotation, short of a mistake
-- (a wrong file) filling a worker.
_M.MAX_FILE_BYTES = 1048576
_M.MAX_KEYS = 1000
-- RFC 7518, 3.2: an HS256 key is at least the hash's 256 bits.
local HS256_MIN_BYTES = 32
local ALG = { oct = "HS256", EC = "ES256" }

local json = cjson.new()
json.decode_invalid_numbers(false)
json.decode_max_depth(4)


local function key_of(jwk)
    if type(jwk) ~= "table" then
        return nil, "is not a JSON object"
    end
    local kid = jwk.kid
    if type(kid) ~= "string" or kid == "" then
        return nil, "has no kid"
    end
    local at = "key " .. kid .. " "
    local alg = ALG[jwk.kty]
    if not alg then
        return nil, at .. "has kty " .. tostring(jwk.kty) .. " (oct for HS256, EC P-256 for ES256 only)"
    end
    if jwk.alg ~= nil and jwk.alg ~= alg then
        return nil, at .. "is " .. jwk.kty .. " but says alg " .. tostring(jwk.alg)
    end
    if jwk.use ~= nil and jwk.use ~= "sig" then
        return nil, at .. "has use " .. tostring(jwk.use) .. ", not sig"
    end
    if jwk.key_ops ~= nil then
        local verify = false
        for _, op in ipairs(type(jwk.key_ops) == "table" and jwk.key_ops or {}) do
            verify = verify or op == "verify"
        end
        if not verify then
            return nil, at .. "has key_ops without verify"
        end
    end
    if jwk.iss ~= nil and type(jwk.iss) ~= "string" then
        return nil, at .. "has an iss that is not a string"
    end
    local key = { kid = kid, alg = alg, iss = jwk.iss }
    if alg == "HS256" then
        local secret = type(jwk.k) == "string" and token.b64decode(jwk.k)
        if not secret or #secret < HS256_MIN_BYTES then
            return nil, at .. "has no k of " .. HS256_MIN_BYTES .. " bytes or more in base64url"
        end
        local why
        key.mac, why = crypto.hmac_key(secret)
        if not key.mac then
            return nil, at .. "cannot key HMAC-SHA-256: " .. why
        end
        return key
    end
    if jwk.crv ~= "P-256" then
        return nil, at .. "has crv " .. tostring(jwk.crv) .. ", not P-256"
    end
    -- A node broken into must not be able to sign: it gets public keys only.
    if jwk.d ~= nil then
        return nil, at .. "holds a private key (d); a node needs only the public key"
    end
    local x = type(jwk.x) == "string" and token.b64decode(jwk.x)
    local y = type(jwk.y) == "string" and token.b64decode(jwk.y)
    if not (x and y) then
        return nil, at .. "has no P-256 point in x and y: not base64url"
    end
    local pkey, why = crypto.p256_public_key(x, y)
    if not pkey then
        return nil, at .. "has no P-256 point in x and y: " .. why
    end
    key.pkey = pkey
    return key
end


-- The keys of a JWK Set's text: kid -> key (kid, alg, iss, and secret for
-- HS256 or pkey for ES256), or nil and the reason.
function _M.parse(text)
    if #text > _M.MAX_FILE_BYTES then
        return nil, "is over " .. _M.MAX_FILE_BYTES .. " bytes"
    end
    local set = json.decode(text)
    if type(set) ~= "table" or type(set.keys) ~= "table" then
        return nil, "is not a JWK Set (a JSON object with \"keys\")"
    end
    local keys, count = {}, 0
    for i, jwk in ipairs(set.keys) do
        local key, why = key_of(jwk)
        if not key then
            return nil, "key " .. i .. ": " .. why
        end
        if keys[key.kid] then
            return nil, "key " .. i .. ": kid " .. key.kid .. " comes twice"
        end
        keys[key.kid] = key
        count = count + 1
    end
    if count == 0 then
        return nil, "holds no key"
    end
    if count > _M.MAX_KEYS then
        return nil, "holds more than " .. _M.MAX_KEYS .. " keys"
    end
    return keys
end


-- The keys of the JWK Set file at path, or nil and the reason.
function _M.load(path)
    local f, err = open(path, "rb")
    if not f then
        return nil, "cannot be read: " .. tostring(err)
    end
    local text = f:read(_M.MAX_FILE_BYTES + 1)
    f:close()
    local keys, why = _M.parse(text or "")
    if not keys then
        return nil, why
    end
    return keys
end


return _M
