// Placeholder entry point until the application layer lands.
int main() { return 0; }
