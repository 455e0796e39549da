// Starts `vemo lsp` for .vemo files and hands the vemo.* settings to it.
const vscode = require("vscode");
const { LanguageClient, TransportKind } = require("vscode-languageclient/node");

let client;

function activate(context) {
  const settings = vscode.workspace.getConfiguration("vemo");
  const [command, ...args] = settings.get("command", ["vemo", "lsp"]);
  const serverOptions = { command, args, transport: TransportKind.stdio };
  const clientOptions = {
    documentSelector: [{ scheme: "file", language: "vemo" }, { scheme: "untitled", language: "vemo" }],
    initializationOptions: { cell: settings.get("cell", "") },
    synchronize: {
      configurationSection: "vemo",
      // A changed cell description changes what every open script means.
      fileEvents: vscode.workspace.createFileSystemWatcher("**/*.{yaml,yml}"),
    },
  };
  client = new LanguageClient("vemo", "Vemo", serverOptions, clientOptions);
  client.start();
  context.subscriptions.push({ dispose: () => client && client.stop() });
}

function deactivate() {
  return client ? client.stop() : undefined;
}

module.exports = { activate, deactivate };
