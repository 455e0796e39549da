"""The language side: the grammar and parsers, the tree walk, the bounds, compiling a script, its static
analysis and checks, and the listing of `vemo check`. It loads no module of the run side."""
