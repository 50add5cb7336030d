"""Plain-Python rendering of the lineage table step, for the benchmark only."""

TABLE = "package_source_mapping.txt"
INDEXES = [
    "./deb/noble/%s/Packages_%s" % (component, component)
    for component in ("main", "multiverse", "restricted", "universe")
]


def table_step():
    with open(TABLE, "w") as table:
        table.write("package_name" + " " * 48 + "source_name\n")
        table.write("*" * 80 + "\n")
    for path in INDEXES:
        with open(path) as index:
            text = index.read()
        rows = []
        for paragraph in text.strip().split("\n\n"):
            package = source = None
            for line in paragraph.split("\n"):
                if ":" not in line:
                    continue
                key, value = line.split(":", 1)
                if key == "Package":
                    package = value
                elif key == "Source":
                    source = value
                if package and source:
                    break
            if package is None:
                continue
            if not source:
                source = package
            rows.append(package + " " * (60 - len(package)) + source)
        with open(TABLE, "a") as table:
            for row in rows:
                table.write(row + "\n")
