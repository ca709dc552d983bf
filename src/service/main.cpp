#include "service/entry.h"

int main(int argc, char** argv) { return process_entry(argc, argv); }
