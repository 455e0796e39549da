"""Small utilities of every side: bounded reading of input files and YAML, printable text, standard streams
that a reader who went away cannot break."""
