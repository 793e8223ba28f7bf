// qmasvchost: supervisor of one service run under the standalone service manager, and
// "qmasvchost query NAME" to show a service's definition and status.
#include "platform/service_manager.h"

int main(int argc, char** argv) {
  return qma::platform::service_host_main(argc, argv);
}
