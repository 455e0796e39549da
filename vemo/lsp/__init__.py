"""The Vemo language server (`vemo lsp`) and its checker processes."""
