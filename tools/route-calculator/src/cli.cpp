// command line
