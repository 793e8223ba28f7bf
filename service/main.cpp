// QMAgent: the agent's service program and its own installer and controller.
#include "service/qma_service.h"

int main(int argc, char** argv) {
  return QMA_main(argc, argv);
}
