// Linked with every object of the pages' library and nothing above it: the
// build fails when a page starts to need the shell (a call into it, or a
// class whose type information only the shell carries).
int main()
{
    return 0;
}
