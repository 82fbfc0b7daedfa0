from setuptools import find_packages, setup

DESCRIPTION = """Reusable order handling
for shops built on the web framework."""

setup(
    name="shop-orders",
    version="0.9.2",
    description=DESCRIPTION,
    packages=find_packages(exclude=["tests"]),
    # Windows paths end in a backslash: "build\\"
    data_files=[("build\\", ["README.rst"])],
    install_requires=["Django>=2.0", "django-model-utils>=4.0"],
    classifiers=["Framework :: Django :: 2.0"],
)
