// bootstrap: removed once this directory has sources
int main() { return 0; }
