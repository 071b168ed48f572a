#include "quorvel_routing/platform/log.hpp"
int main() { quorvel_routing::log::init_from_env(); return 0; }
