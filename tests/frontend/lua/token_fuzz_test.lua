-- Fuzzing of the signed URLs' token check through the Lua harness (a
-- libFuzzer target cannot run LuaJIT's FFI and nginx's Lua API): the good
-- tokens python3-jwt mints, the stored inputs of fuzz/corpus/token and
-- fuzz/crashes/token, and mutations of them from a seeded generator, each
-- put through verify(), admit() and a renewal. A stored input signed with
-- kid fz ("cachenode token fuzz, 32 bytes..", HS256) reaches the claims. What must hold for every
-- input: no Lua error (in map() one would be a 500 on every request with
-- that token), a refusal's reason is one of REASONS, a token whose signed
-- part changed never verifies, and a renewal that is made verifies.
--   token_fuzz_test.lua MINT_SCRIPT CORPUS_DIR CRASHES_DIR [RUNS [SECONDS [SEED]]]
local t = require "harness"
local b64 = require "ngx.base64"
local cjson = require "cjson.safe"
local crypto = require "cachenode.crypto"
local jwks = require "cachenode.jwks"
local sys = require "cachenode.sys"
local token = require "cachenode.token"

local mint, corpus, crashes, runs, seconds, seed = ...
runs, seconds, seed = tonumber(runs) or 20000, tonumber(seconds), tonumber(seed) or 4046

local function lines_of(command)
    local out, pipe = {}, assert(io.popen(command))
    for line in pipe:lines() do
        out[#out + 1] = line
    end
    pipe:close()
    return out
end

local minted = cjson.decode(table.concat(lines_of("/usr/bin/python3 " .. mint), "\n"))
t.ok(minted, "mint_tokens.py printed its cases")
if not minted then
    return
end
local keys = assert(jwks.parse(cjson.encode(minted.jwks)))
-- The generated claim sets are signed with a key that stays the same from
-- run to run (kid fz), so that a stored input reaches the claims' checks
-- again when it is replayed.
local FUZZ_KEY = assert(crypto.hmac_key("cachenode token fuzz, 32 bytes.."))
keys.fz = { kid = "fz", alg = "HS256", mac = FUZZ_KEY }
local audiences = { [minted.audience] = true }
local seeds = lines_of("/usr/bin/python3 " .. mint .. " --seeds")
local stored = {}
for _, dir in ipairs({ corpus, crashes }) do
    for _, name in ipairs(lines_of("ls -1 '" .. dir .. "' 2>/dev/null")) do
        local f = io.open(dir .. "/" .. name, "rb")
        if f then
            stored[#stored + 1] = f:read("*a")
            f:close()
        end
    end
end
t.ok(#seeds > 5, "seeds minted: " .. #seeds)

local REASON = {}
for _, reason in ipairs(token.REASONS) do
    REASON[reason] = true
end
local REQUESTS = {}
for _, case in ipairs({
    { minted.cases[1].uri, "192.0.2.7" }, { "https://video.example/vod/show/index.m3u8", "192.0.2.7" },
    { "https://video.example/vod/other/a.ts?x=1", "2001:db8::1" }, { "http://video.example/vod/show", nil },
    { "https://video.example/vod/show?a=1", "::ffff:192.0.2.7" }, { "https://video.example.org/", nil },
}) do
    local req = t.request(case[1], case[2] and sys.inet_pton(case[2]))
    req.uri = case[1]
    REQUESTS[#REQUESTS + 1] = req
end
local seen = {}
local failures = 0

local function record(input, what)
    failures = failures + 1
    if failures <= 5 then
        t.ok(false, what .. ": input " .. string.format("%q", input:sub(1, 300)))
    end
end

-- One input through the node's checks; signed_part, when given, is the
-- signed part of the good token it was mutated from.
local function try(input, signed_part)
    local ok, entry, reason = pcall(token.verify, input, keys, audiences)
    if not ok then
        return record(input, "verify raised " .. tostring(entry))
    end
    if not entry then
        seen[reason] = (seen[reason] or 0) + 1
        if not REASON[reason] then
            record(input, "verify's reason " .. tostring(reason))
        end
        return
    end
    seen.verified = (seen.verified or 0) + 1
    if signed_part and input:match("^[^.]*%.[^.]*") ~= signed_part then
        record(input, "a changed signed part verified")
    end
    for _, req in ipairs(REQUESTS) do
        entry.covered = nil
        local done, pass, why = pcall(token.admit, entry, minted.now, minted.leeway, req)
        if not done then
            return record(input, "admit raised " .. tostring(pass))
        end
        if not pass and not REASON[why] then
            record(input, "admit's reason " .. tostring(why))
        end
        -- A literal expression is compared as text: as the regex engine would.
        if entry.prefix and (ngx.re.find(req.uri, entry.regex, "jo") ~= nil) ~= (token.covers(entry, req) == true) then
            record(input, "the literal " .. entry.prefix .. " and its expression disagree on " .. req.uri)
        end
    end
    local done, claims = pcall(token.renewal, entry, keys.hs, minted.now)
    if not done then
        return record(input, "renewal raised " .. tostring(claims))
    end
    if claims then
        local text = token.mint(keys.hs, claims)
        if text and not token.verify(text, keys, audiences) then
            record(input, "a renewal that does not verify: " .. text)
        end
    end
end

-- A seeded generator (no clock), so that a failing run can be made again.
math.randomseed(seed)
local random = math.random
local ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.=+/% \0\255"
local function any_char()
    local i = random(#ALPHABET)
    return ALPHABET:sub(i, i)
end

-- Bytes changed, dropped, doubled or moved in the token's text.
local function mutate_text(s)
    for _ = 1, random(3) do
        local n, i = #s, random(math.max(#s, 1))
        local op = random(6)
        if op == 1 then
            s = s:sub(1, i - 1) .. any_char() .. s:sub(i + 1)
        elseif op == 2 then
            s = s:sub(1, i - 1) .. s:sub(i + random(8))
        elseif op == 3 then
            s = s:sub(1, i) .. s:sub(i, math.min(n, i + random(16))) .. s:sub(i + 1)
        elseif op == 4 then
            s = s:sub(1, i) .. "." .. s:sub(i + 1)
        elseif op == 5 then
            local parts = {}
            for p in (s .. "."):gmatch("([^.]*)%.") do
                parts[#parts + 1] = p
            end
            local a, b = random(#parts), random(#parts)
            parts[a], parts[b] = parts[b], parts[a]
            s = table.concat(parts, ".")
        else
            s = s .. s:sub(1, random(64))
        end
    end
    return s
end

-- JSON texts near the edges of what the checks read, for a header and a
-- claim set signed with the HS256 key, so that the claims' checks run.
local VALUES = { "1", "-1", "0", "1e308", "1e400", "1.5", "true", "null", '""', '"x"', "[]", "{}",
                 '["cdniuc"]', '["jti","exp"]', '"hash:"', '"regex:("', '"regex:.*"', '"hash:'
                 .. string.rep("A", 43) .. '"', '"192.0.2.0/24"', '"::ffff:1.2.3.4/120"',
                 '"2001:db8::/129"', "[[[[[[1]]]]]]", '"regex:https://video\\\\.example/vod/show/.*"',
                 '"regex:https://video\\\\.example/vod/show/index\\\\.m3u8"', '"regex:https://video.example/.*"',
                 '"regex:\\\\.*"', '"regex:a\\\\"', '"regex:https\\\\://video\\\\.example/\\\\d.*"', '{"a":{"b":{"c":{}}}}', "9007199254740993" }
local CLAIMS = { "exp", "nbf", "iat", "iss", "sub", "aud", "jti", "cdniv", "cdnicrit", "cdniip",
                 "cdniuc", "cdniets", "cdnistt", "cdnistd", "x" }
local function json_object(names)
    local members = {}
    for _ = 1, random(6) do
        members[#members + 1] = '"' .. names[random(#names)] .. '":' .. VALUES[random(#VALUES)]
    end
    return "{" .. table.concat(members, ",") .. "}"
end
local function signed(header, payload)
    local input = b64.encode_base64url(header) .. "." .. b64.encode_base64url(payload)
    return input .. "." .. b64.encode_base64url(crypto.hmac(FUZZ_KEY, input))
end

for _, input in ipairs(seeds) do
    try(input)
end
for _, input in ipairs(stored) do
    try(input)
end
local started, done = ngx.now(), 0
for i = 1, runs do
    local kind = random(4)
    if kind <= 2 then
        local from = seeds[random(#seeds)]
        try(mutate_text(from), from:match("^[^.]*%.[^.]*"))
    elseif kind == 3 then
        try(signed('{"alg":"HS256","kid":"fz"}', json_object(CLAIMS)))
    else
        try(signed(json_object({ "alg", "kid", "crit", "typ" }), '{"exp":1}'))
    end
    done = i
    if seconds and i % 1000 == 0 then
        ngx.update_time()
        if ngx.now() - started > seconds then
            break
        end
    end
end
local kinds = {}
for k, n in pairs(seen) do
    kinds[#kinds + 1] = k .. " " .. n
end
table.sort(kinds)
io.stdout:write("token fuzz: ", done, " mutations (seed ", seed, "), ", #stored, " stored inputs; ",
                table.concat(kinds, ", "), "\n")
t.eq(failures, 0, "inputs that broke a property")
