#include "channel/dc_pool.h"
#include "receiver/receiver_dialog.h"
#include "shell/dialog_app.h"

int main(int argc, char* argv[])
{
    DialogApp app(argc, argv);
    ReceiverDialog dialog(DcPool::global());
    return app.run(dialog);
}
