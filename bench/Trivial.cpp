// A program that does nothing: the floor of a process start under Wine, for the one-file benchmark.
int wmain() { return 0; }
