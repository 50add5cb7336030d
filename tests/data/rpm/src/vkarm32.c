/* Built for 32-bit ARM. */
int vk_arm32(int x) { return x + 32; }
