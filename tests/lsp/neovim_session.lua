-- Drives `vemo lsp` from Neovim as a person would, with the set-up of docs/editors.md; writes what it saw
-- to $OUT as JSON and quits. Every wait is bounded.
local WAIT = tonumber(vim.env.WAIT_MS)
local out = { notes = {} }
local notify = vim.notify
vim.notify = function(message, level, opts)
  table.insert(out.notes, tostring(message))
  return notify(message, level, opts)
end

local function finish()
  local file = io.open(vim.env.OUT, "w")
  file:write(vim.fn.json_encode(out))
  file:close()
  vim.cmd("qa!")
end

vim.cmd("edit " .. vim.fn.fnameescape(vim.env.SCRIPT))
out.filetype = vim.bo.filetype
out.commentstring = vim.bo.commentstring

-- A diagnostic for the misspelt position.
vim.wait(WAIT, function() return #vim.diagnostic.get(0) > 0 end, 50)
out.diagnostics = {}
for _, d in ipairs(vim.diagnostic.get(0)) do
  table.insert(out.diagnostics, { line = d.lnum, col = d.col, message = d.message })
end

-- Completion of a position after `move @XAxis to `.
local line = tonumber(vim.env.COMPLETE_LINE)
local column = tonumber(vim.env.COMPLETE_COLUMN)
local replies = vim.lsp.buf_request_sync(0, "textDocument/completion", {
  textDocument = { uri = vim.uri_from_bufnr(0) }, position = { line = line, character = column },
}, WAIT)
out.completion = {}
for _, reply in pairs(replies or {}) do
  local items = reply.result and (reply.result.items or reply.result) or {}
  for _, item in ipairs(items) do table.insert(out.completion, item.label) end
end

-- Rename of a step label, from the cursor on it.
vim.api.nvim_win_set_cursor(0, { tonumber(vim.env.RENAME_LINE) + 1, tonumber(vim.env.RENAME_COLUMN) })
vim.lsp.buf.rename(vim.env.NEW_NAME)
vim.wait(WAIT, function()
  return table.concat(vim.api.nvim_buf_get_lines(0, 0, -1, false), "\n"):find(vim.env.NEW_NAME, 1, true) ~= nil
end, 50)
out.text = table.concat(vim.api.nvim_buf_get_lines(0, 0, -1, false), "\n")

-- Stopping the server: it must end cleanly (Neovim notes a non-zero exit code).
local clients = vim.lsp.get_active_clients()
out.clients = #clients
for _, client in ipairs(clients) do client.stop() end
vim.wait(WAIT, function() return #vim.lsp.get_active_clients() == 0 end, 50)
out.stopped = #vim.lsp.get_active_clients() == 0
vim.wait(500, function() return false end, 50)  -- the exit notice comes a moment after the client is gone
finish()
