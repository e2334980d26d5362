-- cachenode.token: the signed URLs' token, a URI Signing Package (RFC 9246):
-- a JWS in compact form (RFC 7515) whose payload is a JWT claim set (RFC
-- 7519) with the CDNI claims. verify() checks what depends on the token and
-- the keys alone (once per token and worker); admit() what depends on the
-- clock and the request (every request); mint() makes a renewed token. Pure
-- functions of their arguments: no nginx variable, no shared state.

local cjson = require "cjson.safe"
local b64 = require "ngx.base64"
local crypto = require "cachenode.crypto"
local nets = require "cachenode.nets"

local find = string.find
local match = string.match
local sub = string.sub
local type = type
local pairs = pairs
local ipairs = ipairs
local tostring = tostring
local floor = math.floor
local concat = table.concat
local re_find = ngx.re.find
local decode_b64 = b64.decode_base64url
local encode_b64 = b64.encode_base64url


local _M = { _VERSION = "1.0" }

-- The longest token taken, in bytes: what a browser keeps of one cookie
-- (RFC 6265, 6.1: at least 4096 bytes, name and attributes included) less
-- room for its name and attributes. Longer is refused before any decoding.
_M.MAX_BYTES = 3800

-- Why a token is refused: the words of the access log and of the metrics'
-- label.
_M.REASONS = { "missing", "malformed", "bad-signature", "unknown-key", "expired",
               "not-yet-valid", "uri-not-covered", "address-not-covered", "critical-claim",
               "wrong-audience", "replayed" }

-- The claims this node implements (RFC 9246, 2.1): cdnicrit may name only
-- these.
local UNDERSTOOD = { iss = true, sub = true, aud = true, exp = true, nbf = true, iat = true,
                     jti = true, cdniv = true, cdnicrit = true, cdniip = true, cdniuc = true,
                     cdniets = true, cdnistt = true, cdnistd = true }
-- Signed Token Transport (RFC 9246, 2.1.13): 1 is a cookie, the one this
-- node sets; 2 (in the URLs of a rewritten playlist) it does not do.
local STT_COOKIE = 1

-- JSON as the JOSE texts need it: no NaN or Infinity, little nesting (a
-- claim set is flat but for aud and cdnicrit).
local json = cjson.new()
json.decode_invalid_numbers(false)
json.decode_max_depth(4)
json.encode_invalid_numbers(false)

-- The bytes of base64url text (RFC 7515, 2: no padding, no other
-- character), or nil. nginx's decoder refuses every other byte but "=",
-- where it would stop: a pattern over the text would cost a new token some
-- 50 instructions a byte.
function _M.b64decode(text)
    if #text % 4 == 1 or find(text, "=", 1, true) then
        return nil
    end
    return decode_b64(text)
end
local b64decode = _M.b64decode

local function refuse(reason, why)
    return nil, reason, why
end

-- The most a count of seconds or of path segments may be: a renewal writes
-- now + cdniets, and JSON's 14 digits here must give back the same whole
-- number, or the cookie's own token would not verify.
local INT_MAX = 2 ^ 31 - 1

local function is_int(v, min)
    return type(v) == "number" and v == floor(v) and v >= min and v <= INT_MAX
end

local function is_strings(v)
    if type(v) ~= "table" then
        return false
    end
    local n = 0
    for _ in pairs(v) do
        n = n + 1
    end
    for i = 1, n do
        if type(v[i]) ~= "string" then
            return false
        end
    end
    return true
end


-- The text that a cdniuc expression of literal characters (escaped or not)
-- stands for, and whether it ends there (nil when it ends in ".*", which
-- then matches whatever follows: a URI holds no line feed); nil for any
-- other expression. Such a common expression is then a comparison of texts.
local REGEX_META = "[%^%$%.|%?%*%+%(%)%[%]{}]"
local function literal_of(value)
    local n = #value
    local open = sub(value, -2) == ".*" and sub(value, -3, -3) ~= "\\"
    if open then
        n = n - 2
    end
    -- Runs of plain characters, each followed by an escaped one.
    local out, i = {}, 1
    while i <= n do
        local escape = find(value, "\\", i, true)
        local stop = escape and escape <= n and escape - 1 or n
        local run = sub(value, i, stop)
        if find(run, REGEX_META) then
            return nil
        end
        out[#out + 1] = run
        if stop == n then
            break
        end
        local c = sub(value, escape + 1, escape + 1)
        if escape + 1 > n or find(c, "%w") then
            return nil
        end
        out[#out + 1] = c
        i = escape + 2
    end
    return concat(out), not open
end


-- The claim checks that need no clock and no request: the token's types,
-- version and critical claims, its audience and its issuer against its key.
-- Fills entry with what admit() and the renewal need.
local function check_claims(c, key, audiences, entry)
    for _, name in ipairs({ "exp", "nbf", "iat" }) do
        if c[name] ~= nil and type(c[name]) ~= "number" then
            return refuse("malformed", name .. " is not a number")
        end
    end
    for _, name in ipairs({ "iss", "sub", "jti", "cdniip", "cdniuc" }) do
        if c[name] ~= nil and type(c[name]) ~= "string" then
            return refuse("malformed", name .. " is not a string")
        end
    end
    if c.cdniv ~= nil and c.cdniv ~= 1 then
        return refuse("critical-claim", "cdniv " .. tostring(c.cdniv) .. ": only version 1 is known")
    end
    if c.cdnicrit ~= nil then
        if not is_strings(c.cdnicrit) then
            return refuse("malformed", "cdnicrit is not an array of strings")
        end
        for _, name in ipairs(c.cdnicrit) do
            if not UNDERSTOOD[name] then
                return refuse("critical-claim", "cdnicrit names " .. name .. ", which this node does not implement")
            end
            if c[name] == nil then
                return refuse("critical-claim", "cdnicrit names " .. name .. ", which the token lacks")
            end
        end
    end
    -- A key without an issuer signs only tokens without one: the issuer a
    -- token names must be its key's (RFC 9246, 2.1.1).
    if c.iss ~= key.iss then
        return refuse("unknown-key", "the token's issuer " .. tostring(c.iss) .. " is not key "
                      .. key.kid .. "'s " .. tostring(key.iss))
    end
    if c.aud ~= nil then
        local list = type(c.aud) == "string" and { c.aud } or c.aud
        if not is_strings(list) then
            return refuse("malformed", "aud is neither a string nor an array of strings")
        end
        local ours = false
        for _, name in ipairs(list) do
            ours = ours or (audiences[name] == true)
        end
        if not ours then
            return refuse("wrong-audience", "aud names no audience of this node")
        end
    end
    -- A one-time token must run out, or the node would keep its JWT ID for
    -- good.
    if c.jti ~= nil and c.exp == nil then
        return refuse("malformed", "jti without exp")
    end
    if c.cdniip then
        local net, why = nets.network(c.cdniip)
        if not net then
            return refuse("malformed", "cdniip " .. why)
        end
        entry.net = net
    end
    if c.cdniuc then
        local colon = find(c.cdniuc, ":", 1, true)
        local kind, value = colon and sub(c.cdniuc, 1, colon - 1), colon and sub(c.cdniuc, colon + 1)
        if kind == "hash" and #value == 43 and b64decode(value) then
            entry.hash = value
        elseif kind == "regex" then
            -- The expression must match the whole URI: anchored at both ends.
            entry.regex = "\\A(?:" .. value .. ")\\z"
            local _, _, err = re_find("", entry.regex, "jo")
            if err then
                return refuse("malformed", "cdniuc's expression: " .. err)
            end
            entry.prefix, entry.exact = literal_of(value)
            -- The usual literal, a scheme and then a host and a path with
            -- no query: compared with the request's pieces as they come.
            local scheme, lead = match(entry.prefix or "", "^(https?)://([^/?]+/[^?]*)$")
            entry.scheme, entry.lead = scheme, lead
        else
            return refuse("malformed", "cdniuc is neither hash: with a SHA-256 nor regex:")
        end
    end
    if c.cdniets ~= nil and not is_int(c.cdniets, 1) then
        return refuse("malformed", "cdniets is not a whole number of seconds from 1 to " .. INT_MAX)
    end
    if c.cdnistd ~= nil and not is_int(c.cdnistd, 0) then
        return refuse("malformed", "cdnistd is not a whole number from 0 to " .. INT_MAX)
    end
    if c.cdnistt ~= nil and c.cdnistt ~= STT_COOKIE then
        return refuse("critical-claim", "cdnistt " .. tostring(c.cdnistt)
                      .. ": only 1 (a cookie) is implemented")
    end
    return entry
end


-- The token text checked against keys (kid -> { kid, alg, secret or pkey,
-- iss }) and the node's audiences (name -> true): a table (claims, and what
-- admit() reads), or nil, the reason (one of REASONS) and why. At most one
-- signature check; the payload is read as JSON only once the signature holds.
function _M.verify(text, keys, audiences)
    if #text > _M.MAX_BYTES then
        return refuse("malformed", "longer than " .. _M.MAX_BYTES .. " bytes")
    end
    local dot1 = find(text, ".", 1, true)
    local dot2 = dot1 and find(text, ".", dot1 + 1, true)
    if not dot2 then
        return refuse("malformed", "not a JWS in compact form")
    end
    if find(text, ".", dot2 + 1, true) then
        return refuse("malformed", "more than three parts (a JWE, which is not accepted)")
    end
    local header = b64decode(sub(text, 1, dot1 - 1))
    local payload = b64decode(sub(text, dot1 + 1, dot2 - 1))
    local sig = b64decode(sub(text, dot2 + 1))
    header = header and json.decode(header)
    if type(header) ~= "table" or not sig or not payload then
        return refuse("malformed", "a part is not base64url or the header not a JSON object")
    end
    local alg, kid = header.alg, header.kid
    if alg ~= "HS256" and alg ~= "ES256" then
        return refuse("malformed", "alg " .. tostring(alg) .. " is not accepted (HS256, ES256)")
    end
    -- RFC 7515, 4.1.11: an extension the node does not understand.
    if header.crit ~= nil then
        return refuse("critical-claim", "the header has crit, and this node knows no extension")
    end
    local key = type(kid) == "string" and keys[kid]
    if not key then
        return refuse("unknown-key", "kid " .. tostring(kid) .. " is not in the key set")
    end
    if key.alg ~= alg then
        return refuse("unknown-key", "kid " .. kid .. " is an " .. key.alg .. " key, the token says " .. alg)
    end
    local input = sub(text, 1, dot2 - 1)
    local good
    if alg == "HS256" then
        local mac = crypto.hmac(key.mac, input)
        good = mac and crypto.equal(mac, sig)
    else
        good = crypto.es256_verify(key.pkey, input, sig)
    end
    if not good then
        return refuse("bad-signature", "the signature does not verify with key " .. kid)
    end
    local claims = json.decode(payload)
    if type(claims) ~= "table" or claims[1] ~= nil then
        return refuse("malformed", "the payload is not a JSON object")
    end
    return check_claims(claims, key, audiences or {}, { claims = claims, kid = kid })
end


-- The base64url SHA-256 of uri, as cdniuc's hash: names it.
function _M.uri_hash(uri)
    return encode_b64(crypto.sha256(uri))
end


-- Whether the URI of req (scheme, url: host and path, query: without the
-- token, "" for none) is one entry's cdniuc covers: true, or nil, the
-- reason and why. The last URI a hash or an expression covered is
-- remembered with it: a player's repeated requests (ranges, retries) skip
-- the hash or the expression.
function _M.covers(entry, req)
    local lead = entry.lead
    if lead then
        local url = req.url
        if req.scheme == entry.scheme and (entry.exact and url == lead and req.query == ""
                                           or not entry.exact and find(url, lead, 1, true) == 1) then
            return true
        end
        return refuse("uri-not-covered", "cdniuc's expression does not match " .. req.scheme .. "://" .. url)
    end
    local query = req.query
    local uri = req.scheme .. "://" .. req.url .. (query ~= "" and "?" .. query or "")
    if uri == entry.covered then
        return true
    end
    if entry.hash and _M.uri_hash(uri) ~= entry.hash then
        return refuse("uri-not-covered", "cdniuc's hash is not that of " .. uri)
    end
    if entry.regex then
        local from, _, err = re_find(uri, entry.regex, "jo")
        if not from then
            return refuse("uri-not-covered", err or ("cdniuc's expression does not match " .. uri))
        end
    end
    entry.covered = uri
    return true
end
local covers = _M.covers


-- Whether a verified token (verify()'s table) admits a request at time now
-- (seconds), with leeway seconds of clock difference either way; req is
-- covers()'s, with client, the client's address as $binary_remote_addr
-- gives it (each read only when the token has the claim). true, or nil,
-- the reason and why. The one-time use of a JWT ID is the caller's: it
-- needs the node's memory.
function _M.admit(entry, now, leeway, req)
    local c = entry.claims
    if c.exp and now >= c.exp + leeway then
        return refuse("expired", "exp " .. c.exp .. " is past")
    end
    if c.nbf and now < c.nbf - leeway then
        return refuse("not-yet-valid", "nbf " .. c.nbf .. " is to come")
    end
    if entry.net and not nets.contains(entry.net, req.client) then
        return refuse("address-not-covered", "the client is not in cdniip " .. c.cdniip)
    end
    if entry.hash or entry.regex then
        return covers(entry, req)
    end
    return true
end


-- A token of the claims c, signed with key (HS256: key.kid and key.mac),
-- or nil and the reason.
function _M.mint(key, c)
    local body, err = json.encode(c)
    if not body then
        return nil, "the claims do not encode: " .. tostring(err)
    end
    local input = encode_b64(json.encode({ alg = "HS256", kid = key.kid, typ = "JWT" }))
                  .. "." .. encode_b64(body)
    local mac, why = crypto.hmac(key.mac, input)
    if not mac then
        return nil, why
    end
    return input .. "." .. encode_b64(mac)
end


-- The claims of the token that renews a verified one at time now, signed by
-- key, valid cdniets seconds from now: its own, but the node's issuer, a
-- new iat, and no JWT ID (the node's tokens are not one-time); nil when the
-- token asks for no renewal.
function _M.renewal(entry, key, now)
    local c = entry.claims
    if not c.cdniets then
        return nil
    end
    local new = {}
    for name, value in pairs(c) do
        new[name] = value
    end
    new.exp, new.iat, new.jti, new.iss = now + c.cdniets, now, nil, key.iss
    -- What the new token no longer holds cannot stay critical.
    if c.cdnicrit then
        local crit = {}
        for _, name in ipairs(c.cdnicrit) do
            if new[name] ~= nil then
                crit[#crit + 1] = name
            end
        end
        new.cdnicrit = crit[1] and crit or nil
    end
    return new
end


return _M
