-- The signed URLs' token check (cachenode.token) against tokens that
-- python3-jwt mints afresh on each run (mint_tokens.py), the key files the
-- node refuses (cachenode.jwks) and the renewal cookie's token and Path
-- (cdniip's networks: nets_test.lua).
--   token_test.lua MINT_SCRIPT
local t = require "harness"
local cjson = require "cjson.safe"
local jwks = require "cachenode.jwks"
local signing = require "cachenode.signing"
local sys = require "cachenode.sys"
local token = require "cachenode.token"

local mint = ...

local pipe = assert(io.popen("/usr/bin/python3 " .. mint))
local minted = cjson.decode(pipe:read("*a"))
pipe:close()
t.ok(minted, "mint_tokens.py printed its cases (python3-jwt installed?)")
if not minted then
    return
end
local keys, why = jwks.parse(cjson.encode(minted.jwks))
t.ok(keys, "the minted key set: " .. tostring(why))
local audiences = { [minted.audience] = true }

-- Each token, checked as the node checks a request: verify() then admit().
local reasons = {}
for _, reason in ipairs(token.REASONS) do
    reasons[reason] = true
end
for _, case in ipairs(minted.cases) do
    local entry, reason, said = token.verify(case.token, keys, audiences)
    if entry then
        local ok
        ok, reason, said = token.admit(entry, minted.now, minted.leeway,
                                       t.request(case.uri, case.client and sys.inet_pton(case.client)))
        reason = ok and "ok" or reason
    end
    t.eq(reason, case.want, case.name .. " (" .. tostring(said) .. ")")
    t.ok(reasons[reason] or reason == "ok", case.name .. ": a reason of REASONS")
end

-- A token stays checked against each request: a literal cdniuc compared
-- as text, a hash (and an expression) remembering the URI it covered, and
-- another checked afresh.
local by_name = {}
for _, case in ipairs(minted.cases) do
    by_name[case.name] = case
end
for _, case in ipairs({ { minted.cases[1].token, "https://video.example/vod/show/a.ts", true },
                        { by_name["cdniuc hash"].token, by_name["cdniuc hash"].uri, nil } }) do
    local entry = assert(token.verify(case[1], keys, audiences))
    local req = t.request(case[2])
    t.eq(token.admit(entry, minted.now, 30, req), true, "a covered URI " .. case[2])
    t.eq(token.admit(entry, minted.now, 30, t.request("https://video.example/vod/x.ts")), nil,
         "another URI with the token of " .. case[2])
    t.eq(token.admit(entry, minted.now, 30, t.request(case[2] .. "?a=1")), case[3], case[2] .. "?a=1")
    t.eq(token.admit(entry, minted.now, 30, req), true, "the covered URI again " .. case[2])
    t.eq(token.admit(entry, minted.now + 700, 30, req), nil, "the covered URI, later than exp " .. case[2])
end
local req = t.request("https://video.example/vod/show/a.ts")

-- The renewal: the token's claims with a new exp and iat, the node's
-- issuer, no JWT ID, signed with the renewal key; what it no longer holds
-- leaves cdnicrit.
local renew = keys.hs
local claims = { exp = minted.now + 5, cdniets = 120, cdnistd = 2, jti = "x", sub = "s",
                 cdniuc = "regex:https://video\\.example/vod/show/.*", cdnicrit = { "jti", "cdniuc" } }
local fresh = token.renewal({ claims = claims }, renew, minted.now)
local text = assert(token.mint(renew, fresh))
local again = token.verify(text, keys, audiences)
t.ok(again, "the renewed token verifies")
if again then
    local c = again.claims
    t.eq(c.exp, minted.now + 120, "renewed exp: now + cdniets")
    t.eq(c.iat, minted.now, "renewed iat")
    t.eq(c.jti, nil, "renewed jti")
    t.eq(c.sub, "s", "renewed sub")
    t.eq(table.concat(c.cdnicrit, ","), "cdniuc", "renewed cdnicrit")
    t.eq(token.admit(again, minted.now + 100, 0, req), true, "the renewed token, 100 s on")
end
t.eq(token.renewal({ claims = { exp = 1 } }, renew, minted.now), nil, "no cdniets, no renewal")
t.eq(token.mint(renew, { exp = math.huge }), nil, "claims that JSON cannot hold")

-- The Path of the renewal cookie: the first cdnistd segments.
for _, case in ipairs({
    { "/vod/show/index.m3u8", 0, "/" }, { "/vod/show/index.m3u8", 2, "/vod/show" },
    { "/vod/show/index.m3u8", 9, "/vod/show/index.m3u8" }, { "/a;Domain=x/i.m3u8", 1, nil },
    { "/a%20b/i.m3u8", 1, "/a%20b" },
}) do
    t.eq(signing.cookie_path(case[1], case[2]), case[3], "cookie_path " .. case[1] .. " " .. case[2])
end

-- base64url as JOSE writes it: no padding, no byte of another alphabet.
for _, case in ipairs({ { "QUJD", "ABC" }, { "QUI", "AB" }, { "_-8", "\255\239" }, { "", "" },
                        { "QUJD=", nil }, { "QUI=", nil }, { "QU+D", nil }, { "QU/D", nil }, { "QU D", nil },
                        { "QUJ\0", nil }, { "QUJ\255", nil }, { "QUJDQ", nil }, { "QUJD\nQUJD", nil } }) do
    t.eq(token.b64decode(case[1]), case[2], "b64decode " .. case[1])
end

-- Key files the node refuses, with the reason it gives.
local hs = '{"kty":"oct","kid":"a","k":"' .. string.rep("A", 43) .. '"}'
local ec = minted.jwks.keys[2]
local function ec_with(changes)
    local key = { kty = "EC", crv = "P-256", kid = "e", x = ec.x, y = ec.y }
    for k, v in pairs(changes) do
        key[k] = v
    end
    return '{"keys":[' .. cjson.encode(key) .. ']}'
end
for _, case in ipairs({
    { '{"keys":[' .. hs .. ']}', nil },
    { '{"keys":[' .. hs .. ',' .. hs .. ']}', "comes twice" },
    { '{"keys":[]}', "holds no key" },
    { '[]', "is not a JWK Set" },
    { 'not json', "is not a JWK Set" },
    { '{"keys":[{"kty":"oct","k":"' .. string.rep("A", 43) .. '"}]}', "has no kid" },
    { '{"keys":[{"kty":"oct","kid":"a","k":"' .. string.rep("A", 42) .. '"}]}', "32 bytes or more" },
    { '{"keys":[{"kty":"oct","kid":"a","k":"' .. string.rep("A", 43) .. '=="}]}', "32 bytes or more" },
    { '{"keys":[{"kty":"RSA","kid":"a","n":"AQAB","e":"AQAB"}]}', "has kty RSA" },
    { '{"keys":[{"kty":"oct","kid":"a","alg":"HS512","k":"' .. string.rep("A", 43) .. '"}]}', "says alg HS512" },
    { '{"keys":[{"kty":"oct","kid":"a","use":"enc","k":"' .. string.rep("A", 43) .. '"}]}', "use enc" },
    { ec_with({}), nil },
    { ec_with({ d = ec.x }), "holds a private key" },
    { ec_with({ crv = "P-384" }), "crv P-384" },
    { ec_with({ y = ec.x }), "no P-256 point" },
    { ec_with({ x = string.rep("A", 42) }), "no P-256 point" },
    { ec_with({ x = "AAAA" .. ec.x }), "at most 32 bytes" },
}) do
    local got, said = jwks.parse(case[1])
    if case[2] then
        t.ok(not got and said:find(case[2], 1, true), "key file " .. case[1]:sub(1, 60) .. ": "
             .. tostring(said))
    else
        t.ok(got, "key file " .. case[1]:sub(1, 60) .. ": " .. tostring(said))
    end
end
t.ok(select(2, jwks.load("/nonexistent/keys.jwks")):find("cannot be read", 1, true), "a missing key file")
