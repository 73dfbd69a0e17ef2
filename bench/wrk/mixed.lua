-- The browser GUI's requests in turn: the tree, a set, a read of an unknown script. Update requests are left
-- out: they are held until something changes and would only measure the wait.
local bodies = {
    '{"MemPersistent": {"FocusTorque": 3}}',
    '{"MemPersistent": {"FocusTorque": 2}}',
}
local n = 0
request = function()
    n = n + 1
    local kind = n % 4
    if kind == 0 then
        return wrk.format("GET", "/api/v1/all.cgi")
    elseif kind == 1 or kind == 2 then
        return wrk.format("POST", "/api/v1/set.cgi", nil, bodies[kind])
    else
        return wrk.format("GET", "/api/v1/none.cgi")
    end
end
