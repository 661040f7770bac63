#include "agent/agent_frame.h"

int main() {
  using namespace vantrel::agent;
  return RunAgent(kAgentTitle, kAgentClass, nullptr);
}
