#include "app/driver.h"

int main(int argc, char **argv)
{
    vantor_main(argc, argv);
}
