#include "channel/dc_pool.h"
#include "sender/sender_dialog.h"
#include "shell/dialog_app.h"

int main(int argc, char* argv[])
{
    DialogApp app(argc, argv);
    SenderDialog dialog(DcPool::global());
    return app.run(dialog);
}
