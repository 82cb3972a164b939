-- Pesavo's site database: every weighing of every desk, sent by the desks as they happen.
--
-- Run once by the database's administrator, as the role that is to own the schema (running it
-- again changes nothing that exists):
--     psql -v ON_ERROR_STOP=1 -d <database> -f pesavo-site.sql
-- then give each desk a login role of its own in the group role pesavo_desk, for example
--     create role desk_07 login password '...' in role pesavo_desk;
-- A desk may only add weighings: it cannot read, change or delete any, its own included, nor
-- see the totals. Reports read the table and the view with roles of their own.

begin;

create schema if not exists pesavo;

-- One row per acknowledged weighing of a desk. A desk sends each row until the server has
-- answered, so the same row may arrive more than once: (desk, run, row_id) names it, and a
-- repeat is ignored.
create table if not exists pesavo.weighings (
    desk       text not null,              -- the desk's name
    run        text not null,              -- the desk's run: made anew each time the program starts
    row_id     bigint not null,            -- the row within the run
    kind       smallint not null           -- 0 weight, 1 overweight, 2 error (the program's row kinds)
               check (kind in (0, 1, 2)),
    kg         numeric(12,4)               -- the weight, signed; none for an error
               check (kind <> 2 or kg is null),
    width_code smallint,                   -- how the scale showed it: kg width + 10 x lb width + 100 x oz width
    frame      bytea not null              -- the six bytes of the scale's frame
               check (length(frame) = 6),
    at         timestamptz not null,       -- when the desk took the weighing
    maybe_repeat boolean not null default false,  -- the first weighing after the desk's program restarted
                                           -- and the same as the last one before: the scale may have sent
                                           -- that one again (it never heard its answer), or it is a new
                                           -- parcel of the same weight; the desk cannot tell, and says so
    received   timestamptz not null default now(),  -- when it reached this database
    primary key (desk, run, row_id)
);

create index if not exists weighings_at on pesavo.weighings (at);

-- Weighings and kilograms per desk and day (UTC); overweights and errors are not counted.
create or replace view pesavo.daily_totals as
select desk,
       (at at time zone 'UTC')::date                      as day,
       count(*) filter (where kind = 0)                   as weighings,
       coalesce(sum(kg) filter (where kind = 0), 0)       as kilograms,
       count(*) filter (where kind = 0 and maybe_repeat)  as maybe_repeats
from pesavo.weighings
group by desk, (at at time zone 'UTC')::date;

-- The desks' group role: it may add rows and nothing else. INSERT ... ON CONFLICT DO NOTHING
-- needs no more than the INSERT privilege.
do $$
begin
    if not exists (select from pg_roles where rolname = 'pesavo_desk') then
        create role pesavo_desk nologin;
    end if;
end
$$;

revoke all on schema pesavo from public;
revoke all on pesavo.weighings, pesavo.daily_totals from public;
revoke all on pesavo.weighings, pesavo.daily_totals from pesavo_desk;
grant usage on schema pesavo to pesavo_desk;
grant insert on pesavo.weighings to pesavo_desk;

commit;
