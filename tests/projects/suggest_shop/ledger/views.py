from django.shortcuts import redirect, render
from django.urls import reverse_lazy

from .models import Account, Entry


def entry_list(request):
    entries = Entry.objects.filter(amount__gt=0)
    if entries:
        total = len(entries)  # shown in the header
    else:
        total = 0
    return render(request, "ledger/entry_list.html", {"total": total})


def close_account(request, pk):
    account = Account.objects.get(pk=pk)
    if Entry.objects.filter(account=account).count() == 0:
        account.delete()
    return redirect(reverse_lazy("entry-list"))


def first_account_id():
    return Entry.objects.first().account.id


def summary(request):
    entries = Entry.objects.all()
    context = {"entries": entries, "empty": len(entries) == 0}
    if context["empty"]:
        return redirect(reverse_lazy("entry-list"))
    return render(request, "ledger/entry_list.html", context)
