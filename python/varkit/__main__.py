from varkit.cli import console_main

console_main()
