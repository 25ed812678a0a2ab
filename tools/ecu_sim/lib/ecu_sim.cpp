// ECU simulator library
