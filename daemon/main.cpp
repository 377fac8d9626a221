// corvantd: entry point. The service framework takes over from here.
int main() { return 0; }
