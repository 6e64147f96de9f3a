// bench/noop: a program that does nothing. Its time is what starting and
// ending any process costs, the share of every other figure that no program
// can save.
int main() { return 0; }
