#include "front/dispatch.hpp"

int main(int argc, char** argv) { dispatch(argc, argv); }
