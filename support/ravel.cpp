extern "C" __declspec(dllexport) void *salloc(unsigned long long n){return 0;}
