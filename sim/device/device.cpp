// Placeholder until the device stand-in lands.
void processPreInit() {}
void processPostInit() {}
int main() { return 0; }
