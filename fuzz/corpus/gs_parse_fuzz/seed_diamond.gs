class A { };
class B isclass A { };
class C isclass A { };
class D isclass B, C { final void f(D d); };
class E isclass D { void f(D d) { } };
