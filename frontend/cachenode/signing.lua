-- cachenode.signing: which requests need a signed URL's token, where the
-- token is found (the query parameter uri_signing_param, else the cookie of
-- that name), the worker's memory of verified tokens, one-time JWT IDs in the
-- shared dictionary cachenode_tokens, and the renewal cookie of HLS and DASH
-- playback. map() asks admit() for every GET and HEAD of a signed site; a
-- refusal's reason goes to $cachenode_refusal (the miss location answers
-- 403), a renewal's Set-Cookie value to $cachenode_renew.

local lrucache = require "resty.lrucache.pureffi"
local jwks = require "cachenode.jwks"
local names = require "cachenode.names"
local request = require "cachenode.request"
local token = require "cachenode.token"

local ngx = ngx
local ngx_var = ngx.var
local ngx_log = ngx.log
local ngx_time = ngx.time
local INFO = ngx.INFO
local byte = string.byte
local find = string.find
local sub = string.sub
local gmatch = string.gmatch
local concat = table.concat
local param = request.param
local tonumber = tonumber
local pairs = pairs
local tostring = tostring
local floor = math.floor


local _M = { _VERSION = "1.0" }

-- Verified tokens a worker remembers (least recently used go first): a
-- token costs its signature check once, then a lookup. Only tokens whose
-- signature holds are kept, so bad ones cannot grow it; at the longest
-- token, 4096 entries hold some 20 MB, at a usual one (300 bytes) 2 MB.
-- The pure FFI cache: resty.lrucache's own keeps its nodes in a table keyed
-- by their addresses as numbers, whose lookups this LuaJIT spreads so badly
-- that a set that evicts costs some 40 us at 4096 entries (0.1 us here).
local REMEMBERED = 4096
-- What the node never asks a token for: its own locations (exact, as nginx
-- matches them) and, with acme_webroot, an ACME challenge's token (certbot's
-- requests carry none): a base64url name, so that no "/../" can lead nginx
-- from the prefix to a cached file.
local OWN = { ["/cachenode/ondelete"] = true, ["/cachenode/metrics"] = true,
              ["/cachenode/health"] = true }
local ACME = "^/%.well%-known/acme%-challenge/[%w_-]+$"
-- An escaped '/' or '\' in a path is one name here, but may be a separator
-- at the origin, where "..%2F" could then lead out of what a token covers.
local ESCAPED_SEPARATOR = "%%2[fF]"
local ESCAPED_BACKSLASH = "%%5[cC]"
-- Bytes a cookie's Path may hold (RFC 6265, 4.1.1: no ';', no control
-- character); a path with others gets no cookie.
local PATH_BAD = "[^%w%-%._~!%$&'%(%)%*%+,=:@/%%]"

local settings      -- config(): sites, exempt, param, leeway, renew, audiences, keys
local memo          -- token text -> verify()'s entry
local used          -- ngx.shared.cachenode_tokens: one-time JWT IDs seen
local cookie_var    -- "cookie_" .. param
local prefix        -- param .. "="
-- The request's side of a check, filled anew for each.
local req = { scheme = nil, url = nil, query = nil, client = nil }
local on_refusal    -- called with a refusal's reason (the metrics)


-- The signing knobs of opts, checked (the key file read): a table for
-- init(), nil when uri_signing is off, or false and the reason. hosts_text
-- is the hosts knob, whose sites uri_signing may name.
function _M.config(opts, hosts_text)
    local which = opts.uri_signing or "off"
    if which == "off" then
        return nil
    end
    local s = { param = opts.uri_signing_param, exempt = {}, audiences = {},
                acme = (opts.acme_webroot or "off") ~= "off", free = {} }
    -- The bytes after the "/" of the paths that need no token (0: "/").
    for path in pairs(OWN) do
        s.free[byte(path, 2)] = true
    end
    if s.acme then
        s.free[byte(".")] = true
    end
    if which ~= "all" then
        local listed = {}
        for site in gmatch(hosts_text, "[^|]+") do
            listed[site] = true
        end
        for site in gmatch(which, "[^|]+") do
            if not listed[site] then
                return false, "uri_signing names " .. site .. ", which is not one of hosts"
            end
        end
        s.sites = names.parse_hosts(which)
    end
    if not find(s.param or "", "^[%w_-]+$") then
        return false, "uri_signing_param must be letters, digits, _ and -, not \""
                      .. tostring(s.param) .. "\""
    end
    local exempt, audience = opts.uri_signing_exempt or "off", opts.uri_signing_audience or "off"
    for path in gmatch(exempt == "off" and "" or exempt, "[^|]+") do
        if sub(path, 1, 1) ~= "/" then
            return false, "uri_signing_exempt: \"" .. path .. "\" is not a path"
        end
        s.exempt[path] = true
        s.free[byte(path, 2) or 0] = true
    end
    for name in gmatch(audience == "off" and "" or audience, "[^|]+") do
        s.audiences[name] = true
    end
    s.leeway = tonumber(opts.uri_signing_leeway)
    if not s.leeway or s.leeway < 0 or s.leeway > 86400 or s.leeway ~= floor(s.leeway) then
        return false, "uri_signing_leeway must be a whole number of seconds from 0 to 86400, not \""
                      .. tostring(opts.uri_signing_leeway) .. "\""
    end
    local why
    s.keys, why = jwks.load(opts.uri_signing_keys or "")
    if not s.keys then
        return false, "uri_signing_keys " .. tostring(opts.uri_signing_keys) .. " " .. why
    end
    local kid = opts.uri_signing_renew_kid or "off"
    if kid ~= "off" then
        s.renew = s.keys[kid]
        if not s.renew or s.renew.alg ~= "HS256" then
            return false, "uri_signing_renew_kid " .. kid .. " is not an oct (HS256) key of "
                          .. opts.uri_signing_keys .. ": the node signs renewals with it"
        end
    end
    return s
end


-- For init_by_lua: s from config(); refused is called with the reason of
-- each refusal. nil and the reason when the worker's memory cannot be made.
function _M.init(s, refused)
    settings, on_refusal = s, refused
    cookie_var, prefix = "cookie_" .. s.param, s.param .. "="
    used = ngx.shared.cachenode_tokens
    if not used then
        return nil, "lua_shared_dict cachenode_tokens is not configured"
    end
    local err
    memo, err = lrucache.new(REMEMBERED)
    if not memo then
        return nil, "lrucache.new(" .. REMEMBERED .. ") failed: " .. tostring(err)
    end
    return true
end


-- The Path of a renewal cookie: the first depth segments of the path
-- ("/" for 0), or nil when the path holds a byte a Path may not.
function _M.cookie_path(path, depth)
    if find(path, PATH_BAD) then
        return nil
    end
    local kept, n = {}, 0
    for piece in gmatch(path, "[^/]+") do
        if n >= depth then
            break
        end
        n = n + 1
        kept[n] = piece
    end
    return "/" .. concat(kept, "/")
end


local function refuse(reason, why)
    ngx_var.cachenode_refusal = reason
    on_refusal(reason)
    ngx_log(INFO, "cachenode: token refused (", reason, "): ", why)
    return false
end


-- The Set-Cookie value that renews entry's token for a request of path,
-- made at most once a second for each token, path and scheme.
local function renewal(entry, path, now, https)
    if entry.cookie_at == now and entry.cookie_path == path and entry.cookie_https == https then
        return entry.cookie
    end
    local depth = entry.claims.cdnistd or 0
    local where = _M.cookie_path(path, depth)
    local claims = where and token.renewal(entry, settings.renew, now)
    local text, why = claims and token.mint(settings.renew, claims)
    if not text then
        ngx_log(INFO, "cachenode: no renewal for ", path, ": ", why or "its path cannot be a cookie's")
        return nil
    end
    -- A player on another site's page sends the cookie back only with
    -- SameSite=None, which browsers take only with Secure (HTTPS).
    entry.cookie = settings.param .. "=" .. text .. "; Path=" .. where .. "; Max-Age="
                   .. entry.claims.cdniets .. "; HttpOnly" .. (https and "; Secure; SameSite=None" or "")
    entry.cookie_at, entry.cookie_path, entry.cookie_https = now, path, https
    return entry.cookie
end


-- Whether the request for URL text raw (host and path as sent, without the
-- query: cachenode.request's, whose query it reads) may go on: true for a
-- site or path that needs no token and for a token that admits it (with
-- $cachenode_renew set when it asks for renewal); false, with
-- $cachenode_refusal set, for the rest.
function _M.admit(raw)
    local slash = raw and find(raw, "/", 1, true)
    if not slash then
        return true
    end
    if settings.sites and not names.host_allowed(settings.sites, sub(raw, 1, slash - 1)) then
        return true
    end
    -- A path that needs no token begins as one of those named does: the
    -- others are not made into a string here.
    if settings.free[byte(raw, slash + 1) or 0] then
        local path = sub(raw, slash)
        if settings.exempt[path] or OWN[path] or (settings.acme and find(path, ACME)) then
            return true
        end
    end
    local text, query, count = param(prefix)
    if count > 1 then
        return refuse("malformed", "the query holds " .. settings.param .. " " .. count .. " times")
    end
    text = text or ngx_var[cookie_var]
    if not text or text == "" then
        return refuse("missing", "no " .. settings.param .. " in the query or a cookie")
    end
    local entry = memo:get(text)
    if not entry then
        local reason, why
        entry, reason, why = token.verify(text, settings.keys, settings.audiences)
        if not entry then
            return refuse(reason, why)
        end
        memo:set(text, entry)
    end
    if find(raw, "%", slash, true) and (find(raw, ESCAPED_SEPARATOR, slash) or find(raw, ESCAPED_BACKSLASH, slash)) then
        return refuse("uri-not-covered", "an escaped / or \\ in " .. sub(raw, slash))
    end
    local now = ngx_time()
    local renewing = settings.renew and entry.claims.cdniets
    local scheme = (entry.hash or entry.regex or renewing) and request.scheme()
    req.client = entry.net and ngx_var.binary_remote_addr
    req.scheme, req.url, req.query = scheme, raw, query
    local ok, reason, why = token.admit(entry, now, settings.leeway, req)
    if not ok then
        return refuse(reason, why)
    end
    local jti = entry.claims.jti
    if jti then
        -- One use per content (RFC 9246, 2.1.7), in any spelling of its URL,
        -- remembered until the token could no longer be used anyway.
        local key = "j " .. #jti .. " " .. jti .. " " .. names.normalize(raw)
        local added, err = used:safe_add(key, true, entry.claims.exp + settings.leeway - now + 1)
        if not added then
            return refuse("replayed", err == "exists" and "jti " .. jti .. " was used for "
                          .. sub(raw, slash) or "the store of JWT IDs: " .. tostring(err))
        end
    end
    if renewing then
        ngx_var.cachenode_renew = renewal(entry, sub(raw, slash), now, scheme == "https") or ""
    end
    -- nginx's modules see the query without the token: the mp4 and flv
    -- modules look for their arguments in it byte by byte, some 13
    -- instructions a byte of a token otherwise.
    if count == 1 then
        ngx_var.args = query
    end
    return true
end

return _M
