// A raising site with a bare number: check_error_codes.sh must find it.
void Probe() { TavDatabaseError(
    8581, "Probe"); }
