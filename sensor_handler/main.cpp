#include "lifecycle/service.h"

int main(int argc, char **argv) { return sensor_handler::process_entry(argc, argv); }
