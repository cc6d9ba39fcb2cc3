#include "app/app.h"

int main(int argc, char** argv) {
  return runKilnload(argc, argv);
}
