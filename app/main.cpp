#include "app/UpdaterApp.h"

int main(int argc, char** argv) { return Patcher::runApplication(new Patcher::UpdaterApp, argc, argv); }
