// A module without the C_GetFunctionList export.
extern "C" int mockNothingHere() { return 0; }
