#include "channel/dc_pool.h"
#include "shell/dialog_app.h"
#include "receiver/receiver_dialog.h"

int main(int argc, char* argv[])
{
    DialogApp app(argc, argv);
    ReceiverDialog dialog(DcPool::global());
    return app.run(dialog);
}
