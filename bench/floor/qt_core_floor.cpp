// The least a launcher built on Qt can cost: a program that loads Qt Core,
// makes its application object and ends at once, as the launcher ends.

#include <QCoreApplication>

#include <cstdlib>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    std::_Exit(0);
}
