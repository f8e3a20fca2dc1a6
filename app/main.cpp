#include "app/run.h"
#include "platform/console.h"

int main() {
    open_standard_streams();
    return run_patcher();
}
