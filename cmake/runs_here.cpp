// Built for the target: whether this machine runs its programs itself.
int main(void)
{
    return 0;
}
