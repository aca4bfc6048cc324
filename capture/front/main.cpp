#include "front/dispatch.hpp"

int main(int argc, char** argv) { capture::dispatch(argc, argv); }
