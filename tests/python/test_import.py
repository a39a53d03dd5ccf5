import cladomatic


def test_module_imports():
    assert cladomatic.__name__ == "cladomatic"
