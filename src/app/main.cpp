#include "app/updater.h"

int main(int argc, char** argv) { return korrin::runUpdater(argc, argv, korrin::carriedPackage()); }
