#include "channel/dc_pool.h"
#include "shell/dialog_app.h"
#include "sender/sender_dialog.h"

int main(int argc, char* argv[])
{
    DialogApp app(argc, argv);
    SenderDialog dialog(DcPool::global());
    return app.run(dialog);
}
