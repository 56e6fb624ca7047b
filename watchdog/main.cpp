// placeholder replaced by the watchdog implementation
int main() { return 1; }
